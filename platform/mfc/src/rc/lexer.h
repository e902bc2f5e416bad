// Tokens of resource scripts and of the preprocessor's expressions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vlm::mfc::rc {

enum class TokenKind { Identifier, Number, String, Punct, End };

struct Token {
    TokenKind kind = TokenKind::End;
    std::string text;   // identifier, punctuator, or the decoded string
    int64_t value = 0;  // numbers
    int line = 0;
    int file = 0;  // index into the preprocessed source's file names

    bool Is(std::string_view punct) const { return kind == TokenKind::Punct && text == punct; }
    // Keywords of resource scripts compare without regard to case.
    bool IsKeyword(std::string_view keyword) const;
};

// Splits one logical line (comments already removed) into tokens; adjacent
// string literals stay separate tokens. Throws std::runtime_error on a
// character no token starts with or an unterminated string.
std::vector<Token> Tokenize(std::string_view line, int lineNumber);

}  // namespace vlm::mfc::rc
