#include "report.h"

#include <cinttypes>
#include <cstdarg>

#include <nlohmann/json.hpp>

namespace vxmdiag {

Value Value::integer(std::int64_t v) {
    Value value(Kind::Int);
    value.int_ = v;
    return value;
}

Value Value::text(std::string v) {
    Value value(Kind::Text);
    value.text_ = std::move(v);
    return value;
}

Value Value::object() { return Value(Kind::Object); }

Value Value::list() { return Value(Kind::List); }

Value Value::failure(std::string why) {
    Value value(Kind::Failure);
    value.text_ = std::move(why);
    return value;
}

Value& Value::add(std::string key, Value v) {
    members_.emplace_back(std::move(key), std::move(v));
    return *this;
}

Value& Value::push(Value v) {
    elements_.push_back(std::move(v));
    return *this;
}

std::string formatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int needed = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string out;
    if (needed > 0) {
        out.resize(static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(&out[0], out.size(), format, again);
        out.resize(static_cast<std::size_t>(needed));
    }
    va_end(again);
    return out;
}

namespace {

// ---- text ----

constexpr int kKeyWidth = 20;

void printScalar(std::FILE* out, const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Int: std::fprintf(out, "%" PRId64, v.asInt()); break;
        case Value::Kind::Text: std::fputs(v.asText().c_str(), out); break;
        case Value::Kind::Failure: std::fprintf(out, "FAILED: %s", v.asText().c_str()); break;
        default: break;
    }
}

void printMembers(std::FILE* out, const Value& object, int indent);

void printListElements(std::FILE* out, const Value& list, int indent) {
    if (list.elements().empty()) {
        std::fprintf(out, "%*s(none)\n", indent, "");
        return;
    }
    for (const Value& element : list.elements()) {
        if (element.kind() == Value::Kind::Object) {
            printMembers(out, element, indent);
        } else if (element.kind() == Value::Kind::List) {
            printListElements(out, element, indent + 2);
        } else {
            std::fprintf(out, "%*s", indent, "");
            printScalar(out, element);
            std::fputc('\n', out);
        }
    }
}

void printMembers(std::FILE* out, const Value& object, int indent) {
    for (const auto& [key, value] : object.members()) {
        int width = kKeyWidth - indent > 0 ? kKeyWidth - indent : 0;
        switch (value.kind()) {
            case Value::Kind::Object:
                std::fprintf(out, "%*s%s:\n", indent, "", key.c_str());
                printMembers(out, value, indent + 2);
                break;
            case Value::Kind::List:
                std::fprintf(out, "%*s%s:\n", indent, "", key.c_str());
                printListElements(out, value, indent + 2);
                break;
            default:
                std::fprintf(out, "%*s%-*s ", indent, "", width, (key + ":").c_str());
                printScalar(out, value);
                std::fputc('\n', out);
                break;
        }
    }
}

// ---- JSON ----

nlohmann::ordered_json toJson(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Int: return v.asInt();
        case Value::Kind::Text: return v.asText();
        case Value::Kind::Failure: return nlohmann::ordered_json{{"error", v.asText()}};
        case Value::Kind::Object: {
            nlohmann::ordered_json object = nlohmann::ordered_json::object();
            for (const auto& [key, member] : v.members()) object[key] = toJson(member);
            return object;
        }
        case Value::Kind::List: {
            nlohmann::ordered_json list = nlohmann::ordered_json::array();
            for (const Value& element : v.elements()) list.push_back(toJson(element));
            return list;
        }
    }
    return nullptr;
}

}  // namespace

void printText(std::FILE* out, const Value& report) {
    for (const auto& [name, section] : report.members()) {
        std::fprintf(out, "== %s ==\n", name.c_str());
        if (section.kind() == Value::Kind::Object) {
            printMembers(out, section, 2);
        } else {
            std::fputs("  ", out);
            printScalar(out, section);
            std::fputc('\n', out);
        }
    }
}

void printJson(std::FILE* out, const Value& report) {
    // Text from the system (a card or process name) need not be UTF-8: such bytes become U+FFFD.
    std::string text = toJson(report).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::fputs(text.c_str(), out);
    std::fputc('\n', out);
}

}  // namespace vxmdiag
