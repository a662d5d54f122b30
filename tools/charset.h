// Text values to UTF-8 by the data set's Specific Character Set (see charset.cpp).
#ifndef VELMAR_TOOLS_CHARSET_H
#define VELMAR_TOOLS_CHARSET_H

#include <map>
#include <string>

namespace velmar::cli {

struct CharacterSet;

// Decodes the text values of one data set. Bytes that the character set cannot decode become
// U+FFFD; undecodable() then tells the caller to warn once.
class TextDecoder {
   public:
    // `specificCharacterSet`: the value of (0008,0005), empty for the default repertoire.
    explicit TextDecoder(const std::string &specificCharacterSet);
    ~TextDecoder();
    TextDecoder(const TextDecoder &) = delete;
    TextDecoder &operator=(const TextDecoder &) = delete;

    // The whole value of an element (all its values, with their backslashes); a person name
    // also returns to the initial code elements after "^" and "=".
    std::string toUTF8(const std::string &bytes, bool personName);
    bool undecodable() const { return undecodable_; }
    // The Defined Terms of the value that are not known, comma-separated; empty when all are.
    const std::string &unknownTerms() const { return unknown_; }

   private:
    void *converter(const char *name);
    void convert(const char *name, const std::string &bytes, std::string &out);
    void replace(std::string &out, size_t count);
    std::string decodeExtended(const std::string &bytes, bool personName);
    size_t pair(const CharacterSet &set, const std::string &bytes, size_t at, unsigned char lowest,
                unsigned char highest, std::string &out);

    const CharacterSet *first_ = nullptr;
    std::map<std::string, void *> converters_;  // iconv handles by character set name
    std::string unknown_;
    bool undecodable_ = false;
};

}  // namespace velmar::cli

#endif
