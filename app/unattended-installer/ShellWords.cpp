#include "ShellWords.h"

namespace quorvane::unattended {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

bool escapableInDoubleQuotes(char c) {
    return c == '"' || c == '\\' || c == '$' || c == '`';
}

}  // namespace

std::optional<std::vector<std::string>> splitShellWords(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    std::size_t i = 0;
    const std::size_t size = text.size();
    while (i < size) {
        const char c = text[i];
        if (isBlank(c)) {
            if (inWord) {
                words.push_back(word);
                word.clear();
                inWord = false;
            }
            ++i;
            continue;
        }
        if (c == '\\') {
            if (i + 1 >= size) {
                return std::nullopt;
            }
            if (text[i + 1] != '\n') {
                word.push_back(text[i + 1]);
                inWord = true;
            }
            i += 2;
            continue;
        }
        if (c == '\'') {
            const auto end = text.find('\'', i + 1);
            if (end == std::string::npos) {
                return std::nullopt;
            }
            word.append(text, i + 1, end - i - 1);
            inWord = true;
            i = end + 1;
            continue;
        }
        if (c == '"') {
            inWord = true;
            ++i;
            bool closed = false;
            while (i < size) {
                const char d = text[i];
                if (d == '"') {
                    closed = true;
                    ++i;
                    break;
                }
                if (d == '\\' && i + 1 < size &&
                    (escapableInDoubleQuotes(text[i + 1]) || text[i + 1] == '\n')) {
                    if (text[i + 1] != '\n') {
                        word.push_back(text[i + 1]);
                    }
                    i += 2;
                    continue;
                }
                word.push_back(d);
                ++i;
            }
            if (!closed) {
                return std::nullopt;
            }
            continue;
        }
        word.push_back(c);
        inWord = true;
        ++i;
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

}  // namespace quorvane::unattended
