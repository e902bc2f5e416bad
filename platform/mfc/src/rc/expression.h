// The #define table and the integer expressions of resource scripts and of
// the preprocessor's #if, with C's operators and precedence.
#pragma once

#include "rc/lexer.h"

#include <map>
#include <string>
#include <vector>

namespace vlm::mfc::rc {

struct Macro {
    bool functionLike = false;  // kept, never expanded: scripts use none
    std::vector<Token> body;
};

class Macros {
public:
    void Define(const std::string& name, Macro macro) { m_macros[name] = std::move(macro); }
    void Undefine(const std::string& name) { m_macros.erase(name); }
    bool IsDefined(const std::string& name) const { return m_macros.count(name) != 0; }
    // Replaces object-like macros, again inside what they expand to; a macro
    // is not expanded inside its own expansion.
    std::vector<Token> Expand(const std::vector<Token>& tokens) const;

private:
    void ExpandInto(const std::vector<Token>& tokens, std::vector<std::string>& active, std::vector<Token>& out) const;
    std::map<std::string, Macro> m_macros;
};

enum class UnknownIdentifiers { AreZero, AreErrors };

// Evaluates the expression at tokens[pos] (macros already expanded) up to
// the first token that cannot continue it; binary operators binding less
// tightly than minPrecedence end it too (| is 3, ^ is 4). Throws
// std::runtime_error.
int64_t Evaluate(const std::vector<Token>& tokens, size_t& pos, int minPrecedence, UnknownIdentifiers unknown);

// The precedence of a binary operator token, or 0.
int BinaryPrecedence(const Token& token);

}  // namespace vlm::mfc::rc
