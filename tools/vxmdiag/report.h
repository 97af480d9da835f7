// The report as a tree of values, so that the text and the JSON forms show exactly the same data.
#ifndef VXMDIAG_REPORT_H
#define VXMDIAG_REPORT_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vxmdiag {

class Value {
public:
    enum class Kind { Int, Text, Object, List, Failure };

    static Value integer(std::int64_t v);
    static Value text(std::string v);
    static Value object();
    static Value list();
    // A query that failed: shown in place of its value, and the report goes on.
    static Value failure(std::string why);

    // For objects: appends a member (members keep their order). Returns *this for chaining.
    Value& add(std::string key, Value v);
    // For lists: appends an element.
    Value& push(Value v);

    Kind kind() const { return kind_; }
    std::int64_t asInt() const { return int_; }
    const std::string& asText() const { return text_; }
    const std::vector<std::pair<std::string, Value>>& members() const { return members_; }
    const std::vector<Value>& elements() const { return elements_; }

private:
    explicit Value(Kind kind) : kind_(kind) {}

    Kind kind_;
    std::int64_t int_ = 0;
    std::string text_;
    std::vector<std::pair<std::string, Value>> members_;
    std::vector<Value> elements_;
};

// printf into a std::string.
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The report is an object of sections, each an object of its own.
void printText(std::FILE* out, const Value& report);
void printJson(std::FILE* out, const Value& report);

}  // namespace vxmdiag

#endif
