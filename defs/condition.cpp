// Conditions of the definition files: a small language of clauses over the elements of one level
// (present, absent, empty, nonempty, value comparisons) joined left to right by "and" / "or",
// with "not" and parentheses; and the type overrides of a module within an IOD.
#include "defs/condition.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace velmar::defs {
namespace {

constexpr int kMaxDepth = 32;
constexpr size_t kValueTextSize = 512;

bool isWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// Reads "(gggg,eeee)" at text; the number of characters read, 0 when no tag stands there.
size_t readTag(const char *text, uint32_t *tag) {
    if (text[0] != '(' || text[5] != ',' || text[10] != ')') return 0;
    for (int i : {1, 2, 3, 4, 6, 7, 8, 9})
        if (std::isxdigit(static_cast<unsigned char>(text[i])) == 0) return 0;
    char group[5] = {text[1], text[2], text[3], text[4], 0};
    char element[5] = {text[6], text[7], text[8], text[9], 0};
    *tag = static_cast<uint32_t>(std::strtoul(group, nullptr, 16) << 16 | std::strtoul(element, nullptr, 16));
    return 11;
}

const DicomElement *findElement(const DicomElement *container, uint32_t tag) {
    for (const DicomElement *el = container->firstChild; el != nullptr; el = el->next)
        if (VELMAR_TAG(el->group, el->element) == tag) return el;
    return nullptr;
}

std::string trimmed(const std::string &text) {
    size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

// Value n (1-based) of an element as text; false when it has none.
bool valueText(AppData *app, const DicomElement *el, int n, std::string *out) {
    if (el == nullptr || el->length == 0 || el->length == 0xFFFFFFFFu || el->value == nullptr) return false;
    char text[kValueTextSize] = "";
    print_element_value(app, el, text, sizeof text);
    std::string all = text[0] == ' ' && text[1] == ' ' ? text + 2 : text;
    if (all.empty() && el->length >= 2) {  // US or SS, undecided: read as US
        uint16_t word = 0;
        std::memcpy(&word, el->value, sizeof word);
        all = std::to_string(word);
    }
    size_t start = 0;
    for (int i = 1; i < n; ++i) {
        start = all.find('\\', start);
        if (start == std::string::npos) return false;
        ++start;
    }
    size_t end = all.find('\\', start);
    *out = trimmed(all.substr(start, end == std::string::npos ? std::string::npos : end - start));
    return true;
}

bool asNumber(const std::string &text, double *number) {
    if (text.empty()) return false;
    char *end = nullptr;
    *number = std::strtod(text.c_str(), &end);
    return end != nullptr && *end == '\0';
}

bool sameValue(const std::string &value, const std::string &wanted) {
    if (value == wanted) return true;
    double a = 0, b = 0;
    return asNumber(value, &a) && asNumber(wanted, &b) && a == b;
}

// One pass of recursive descent that checks and, with a container, evaluates.
class ConditionParser {
   public:
    ConditionParser(AppData *app, const char *text, const DicomElement *container)
        : app_(app), p_(text), container_(container) {}

    bool run(bool *value) {
        *value = condition(0);
        skipBlanks();
        if (error_ == nullptr && *p_ != '\0') fail("'and' or 'or' expected");
        return error_ == nullptr;
    }
    const char *error() const { return error_; }
    size_t offset(const char *start) const { return static_cast<size_t>(p_ - start); }

   private:
    void fail(const char *message) {
        if (error_ == nullptr) error_ = message;
    }
    void skipBlanks() {
        while (*p_ == ' ' || *p_ == '\t') ++p_;
    }
    bool keyword(const char *word) {
        skipBlanks();
        size_t n = std::strlen(word);
        if (std::strncmp(p_, word, n) != 0 || isWordChar(p_[n])) return false;
        p_ += n;
        return true;
    }
    bool accept(const char *symbol) {
        skipBlanks();
        size_t n = std::strlen(symbol);
        if (std::strncmp(p_, symbol, n) != 0) return false;
        p_ += n;
        return true;
    }
    void need(const char *symbol, const char *message) {
        if (!accept(symbol)) fail(message);
    }

    bool condition(int depth) {
        if (depth > kMaxDepth) {
            fail("condition nested too deeply");
            return false;
        }
        bool value = unary(depth);
        while (error_ == nullptr) {
            if (keyword("and")) {
                bool right = unary(depth);
                value = value && right;
            } else if (keyword("or")) {
                bool right = unary(depth);
                value = value || right;
            } else {
                break;
            }
        }
        return value;
    }

    bool unary(int depth) {
        if (depth > kMaxDepth) {
            fail("condition nested too deeply");
            return false;
        }
        if (keyword("not")) return !unary(depth + 1);
        skipBlanks();
        uint32_t tag = 0;
        if (*p_ == '(' && readTag(p_, &tag) == 0) {
            ++p_;
            bool value = condition(depth + 1);
            need(")", "')' expected");
            return value;
        }
        return clause();
    }

    // The element of a clause's tag; false (with the error held) when no tag stands there.
    bool tagOperand(const DicomElement **el) {
        skipBlanks();
        uint32_t tag = 0;
        size_t n = readTag(p_, &tag);
        if (n == 0) {
            fail("tag (gggg,eeee) expected");
            return false;
        }
        p_ += n;
        *el = container_ != nullptr ? findElement(container_, tag) : nullptr;
        return true;
    }

    bool clause() {
        const DicomElement *el = nullptr;
        if (keyword("present")) return tagOperand(&el) && el != nullptr;
        if (keyword("absent")) return tagOperand(&el) && el == nullptr;
        if (keyword("empty")) return tagOperand(&el) && el != nullptr && elementHasNoValue(el);
        if (keyword("nonempty")) return tagOperand(&el) && el != nullptr && !elementHasNoValue(el);
        if (keyword("value")) return valueClause();
        fail("'present', 'absent', 'empty', 'nonempty', 'value', 'not' or '(' expected");
        return false;
    }

    int valueNumber() {
        if (!accept("[")) return 1;
        char *end = nullptr;
        long n = std::strtol(p_, &end, 10);
        if (end == p_ || n < 1 || n > 9999) {
            fail("value number of 1 or more expected");
            return 1;
        }
        p_ = end;
        need("]", "']' expected");
        return static_cast<int>(n);
    }

    bool valueClause() {
        const DicomElement *el = nullptr;
        if (!tagOperand(&el)) return false;
        int n = valueNumber();
        std::string value;
        bool has = error_ == nullptr && valueText(app_, el, n, &value);
        if (accept("==")) return words(&value, has, true);
        if (accept("!=")) return words(&value, has, false);
        if (keyword("in")) return valueList(value, has);
        for (const char *op : {">=", "<=", ">", "<"})
            if (accept(op)) return compare(op, value, has);
        fail("'==', '!=', '>', '<', '>=', '<=' or 'in' expected");
        return false;
    }

    // The text of "==" / "!=": words up to "and", "or", ")" or the end, joined by one blank.
    bool words(const std::string *value, bool has, bool equal) {
        std::string text;
        for (;;) {
            skipBlanks();
            uint32_t tag = 0;
            size_t n = readTag(p_, &tag);
            if (n != 0) {  // an AT value, compared as the printer writes it
                char hex[9];
                std::snprintf(hex, sizeof hex, "%08X", tag);
                text += (text.empty() ? "" : " ") + std::string(hex);
                p_ += n;
                continue;
            }
            const char *start = p_;
            while (*p_ != '\0' && *p_ != ' ' && *p_ != '\t' && *p_ != ')') ++p_;
            std::string word(start, p_);
            if (word.empty()) break;
            if (word == "and" || word == "or") {
                p_ = start;
                break;
            }
            text += (text.empty() ? "" : " ") + word;
        }
        if (text.empty()) fail("value text expected");
        // "!=" holds for an absent value too: it is "not ==".
        bool same = has && sameValue(*value, text);
        return equal ? same : !same;
    }

    bool valueList(const std::string &value, bool has) {
        need("{", "'{' expected after 'in'");
        bool found = false;
        while (error_ == nullptr) {
            const char *start = p_;
            while (*p_ != '\0' && *p_ != ',' && *p_ != '}') ++p_;
            std::string item = trimmed(std::string(start, p_));
            if (item.empty()) fail("value text expected");
            found = found || (has && sameValue(value, item));
            if (accept("}")) break;
            need(",", "',' or '}' expected");
        }
        return found;
    }

    bool compare(const char *op, const std::string &value, bool has) {
        skipBlanks();
        char *end = nullptr;
        double limit = std::strtod(p_, &end);
        if (end == p_) {
            fail("number expected");
            return false;
        }
        p_ = end;
        double number = 0;
        if (!has || !asNumber(value, &number)) return false;
        if (op[0] == '>') return op[1] == '=' ? number >= limit : number > limit;
        return op[1] == '=' ? number <= limit : number < limit;
    }

    AppData *app_;
    const char *p_;
    const DicomElement *container_;
    const char *error_ = nullptr;
};

bool isAttributeType(const std::string &type) {
    return type == "1" || type == "1C" || type == "2" || type == "2C" || type == "3";
}

struct TypeOverride {
    uint32_t tag;
    std::string type;
};

// Parses an override list; false with the reason when malformed.
bool parseTypeOverrides(const char *text, std::vector<TypeOverride> *out, const char **error) {
    const char *p = text;
    for (;;) {
        while (*p == ' ' || *p == '\t') ++p;
        if (*p == '\0') return true;
        uint32_t tag = 0;
        size_t n = readTag(p, &tag);
        if (n == 0 || p[n] != '=') {
            *error = "'(gggg,eeee)=type' expected";
            return false;
        }
        p += n + 1;
        const char *start = p;
        while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
        std::string type(start, p);
        if (!isAttributeType(type)) {
            *error = "type 1, 1C, 2, 2C or 3 expected";
            return false;
        }
        out->push_back({tag, type});
    }
}

}  // namespace

bool elementHasNoValue(const DicomElement *el) {
    if (el->length == 0) return true;
    if (el->length != 0xFFFFFFFFu || el->vr != VR_SQ) return false;
    // A sequence (held with undefined length) without items; a delimiter is not an item.
    for (const DicomElement *child = el->firstChild; child != nullptr; child = child->next)
        if (VELMAR_TAG(child->group, child->element) == 0xFFFEE000u) return false;
    return true;
}

bool checkCondition(const char *text, char *message) {
    ConditionParser parser(nullptr, text, nullptr);
    bool value = false;
    if (parser.run(&value)) return true;
    std::snprintf(message, kConditionMessageSize, "condition: %s at character %zu", parser.error(),
                  parser.offset(text) + 1);
    return false;
}

int evaluateCondition(AppData *app, const char *text, const DicomElement *container) {
    if (text == nullptr || text[0] == '\0' || container == nullptr) return -1;
    ConditionParser parser(app, text, container);
    bool value = false;
    if (!parser.run(&value)) return -1;
    return value ? 1 : 0;
}

bool checkTypeOverrides(const char *text, char *message) {
    std::vector<TypeOverride> overrides;
    const char *error = nullptr;
    if (parseTypeOverrides(text, &overrides, &error)) return true;
    std::snprintf(message, kConditionMessageSize, "type override: %s", error);
    return false;
}

void applyTypeOverrides(ModuleEntry *module, const char *text) {
    std::vector<TypeOverride> overrides;
    const char *error = nullptr;
    if (text == nullptr || !parseTypeOverrides(text, &overrides, &error)) return;
    for (const TypeOverride &o : overrides)
        for (AttributeEntry *entry = module->firstAttribute; entry != nullptr; entry = entry->next)
            if (entry->tag == o.tag) std::snprintf(entry->type, sizeof entry->type, "%s", o.type.c_str());
}

}  // namespace velmar::defs
