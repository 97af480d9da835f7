#include "report.h"

#include <cinttypes>
#include <cstdarg>

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

void printJsonString(std::FILE* out, const std::string& s) {
    std::fputc('"', out);
    for (unsigned char c : s) {
        switch (c) {
            case '"': std::fputs("\\\"", out); break;
            case '\\': std::fputs("\\\\", out); break;
            case '\n': std::fputs("\\n", out); break;
            case '\r': std::fputs("\\r", out); break;
            case '\t': std::fputs("\\t", out); break;
            default:
                if (c < 0x20)
                    std::fprintf(out, "\\u%04x", c);
                else
                    std::fputc(c, out);
        }
    }
    std::fputc('"', out);
}

void printJsonValue(std::FILE* out, const Value& v, int indent) {
    switch (v.kind()) {
        case Value::Kind::Int: std::fprintf(out, "%" PRId64, v.asInt()); break;
        case Value::Kind::Text: printJsonString(out, v.asText()); break;
        case Value::Kind::Failure:
            std::fputs("{\"error\": ", out);
            printJsonString(out, v.asText());
            std::fputc('}', out);
            break;
        case Value::Kind::Object: {
            if (v.members().empty()) {
                std::fputs("{}", out);
                break;
            }
            std::fputs("{\n", out);
            bool first = true;
            for (const auto& [key, member] : v.members()) {
                if (!first) std::fputs(",\n", out);
                first = false;
                std::fprintf(out, "%*s", indent + 2, "");
                printJsonString(out, key);
                std::fputs(": ", out);
                printJsonValue(out, member, indent + 2);
            }
            std::fprintf(out, "\n%*s}", indent, "");
            break;
        }
        case Value::Kind::List: {
            if (v.elements().empty()) {
                std::fputs("[]", out);
                break;
            }
            std::fputs("[\n", out);
            bool first = true;
            for (const Value& element : v.elements()) {
                if (!first) std::fputs(",\n", out);
                first = false;
                std::fprintf(out, "%*s", indent + 2, "");
                printJsonValue(out, element, indent + 2);
            }
            std::fprintf(out, "\n%*s]", indent, "");
            break;
        }
    }
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
    printJsonValue(out, report, 0);
    std::fputc('\n', out);
}

}  // namespace vxmdiag
