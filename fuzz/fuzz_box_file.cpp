// The box file parser: an error names the file; an accepted box holds only values its keys allow.
#include "fuzz.h"
#include "vxmbox/box_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vxmbox::Box box;
    const std::string error = vxmbox::parseBox(std::string(reinterpret_cast<const char*>(data), size), "f", box);
    if (!error.empty()) {
        FUZZ_CHECK(error.rfind("f:", 0) == 0);
        return 0;
    }
    for (const vxmbox::Card& card : box.cards) {
        FUZZ_CHECK(!card.name.empty() && card.name.size() <= 15 && card.name.find_first_of(std::string("/\0", 2)) == std::string::npos);
        FUZZ_CHECK(card.kind == "wired" || card.kind == "wireless");
    }
    for (const auto& [key, value] : box.properties) {
        FUZZ_CHECK(!key.empty() && key[0] != '.' && key.find_first_of(std::string("/\0", 2)) == std::string::npos);
        FUZZ_CHECK(value.size() <= 91);
    }
    FUZZ_CHECK(box.rssi >= -128 && box.rssi <= 0 && box.snr >= 0 && box.snr <= 100 && box.txbad >= 0);
    return 0;
}
