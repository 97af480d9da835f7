# A thin wrapper over CMake: every target calls a script in scripts/.
.PHONY: all demo test bench sanitize cross-test fuzz coverage docs package clean

all:
	scripts/build.sh build

demo:
	scripts/demo.sh

test:
	scripts/test.sh

bench:
	scripts/bench.sh

sanitize:
	scripts/sanitize.sh

cross-test:
	scripts/cross-test.sh

fuzz:
	scripts/fuzz.sh

coverage:
	scripts/coverage.sh

docs:
	scripts/docs.sh

package:
	scripts/package.sh

clean:
	rm -rf build build-*
