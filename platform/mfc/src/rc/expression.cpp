#include "rc/expression.h"

#include <algorithm>
#include <stdexcept>

namespace vlm::mfc::rc {
namespace {

[[noreturn]] void Fail(const Token& at, const std::string& what)
{
    throw std::runtime_error("line " + std::to_string(at.line) + ": " + what);
}

const Token& At(const std::vector<Token>& tokens, size_t pos)
{
    static const Token kEnd;
    return pos < tokens.size() ? tokens[pos] : kEnd;
}

int64_t Primary(const std::vector<Token>& tokens, size_t& pos, UnknownIdentifiers unknown)
{
    const Token& t = At(tokens, pos);
    switch (t.kind) {
    case TokenKind::Number:
        ++pos;
        return t.value;
    case TokenKind::Identifier:
        if (unknown == UnknownIdentifiers::AreErrors)
            Fail(t, "'" + t.text + "' is not defined");
        ++pos;
        return 0;
    case TokenKind::Punct:
        if (t.Is("(")) {
            ++pos;
            int64_t v = Evaluate(tokens, pos, 0, unknown);
            if (!At(tokens, pos).Is(")"))
                Fail(t, "missing ')'");
            ++pos;
            return v;
        }
        if (t.Is("-") || t.Is("+") || t.Is("!") || t.Is("~")) {
            ++pos;
            int64_t v = Primary(tokens, pos, unknown);
            if (t.Is("-"))
                return -v;
            if (t.Is("!"))
                return !v;
            if (t.Is("~"))
                return ~v;
            return v;
        }
        break;
    default:
        break;
    }
    Fail(t, t.kind == TokenKind::End ? "expression expected" : "unexpected '" + t.text + "' in an expression");
}

}  // namespace

std::vector<Token> Macros::Expand(const std::vector<Token>& tokens) const
{
    std::vector<Token> out;
    std::vector<std::string> active;
    ExpandInto(tokens, active, out);
    return out;
}

void Macros::ExpandInto(
        const std::vector<Token>& tokens, std::vector<std::string>& active, std::vector<Token>& out) const
{
    for (const Token& t : tokens) {
        if (t.kind == TokenKind::Identifier) {
            auto it = m_macros.find(t.text);
            if (it != m_macros.end() && !it->second.functionLike &&
                    std::find(active.begin(), active.end(), t.text) == active.end()) {
                if (active.size() > 64)
                    Fail(t, "macros nest too deeply at '" + t.text + "'");
                active.push_back(t.text);
                std::vector<Token> body = it->second.body;
                for (Token& b : body)
                    b.line = t.line;  // errors point at the use
                ExpandInto(body, active, out);
                active.pop_back();
                continue;
            }
        }
        out.push_back(t);
    }
}

int BinaryPrecedence(const Token& t)
{
    if (t.kind != TokenKind::Punct)
        return 0;
    static const std::pair<const char*, int> kTable[] = {
            {"||", 1},
            {"&&", 2},
            {"|", 3},
            {"^", 4},
            {"&", 5},
            {"==", 6},
            {"!=", 6},
            {"<", 7},
            {">", 7},
            {"<=", 7},
            {">=", 7},
            {"<<", 8},
            {">>", 8},
            {"+", 9},
            {"-", 9},
            {"*", 10},
            {"/", 10},
            {"%", 10},
    };
    for (const auto& [op, precedence] : kTable) {
        if (t.text == op)
            return precedence;
    }
    return 0;
}

int64_t Evaluate(const std::vector<Token>& tokens, size_t& pos, int minPrecedence, UnknownIdentifiers unknown)
{
    int64_t left = Primary(tokens, pos, unknown);
    while (true) {
        const Token& op = At(tokens, pos);
        if (op.Is("?") && minPrecedence == 0) {
            ++pos;
            int64_t a = Evaluate(tokens, pos, 0, unknown);
            if (!At(tokens, pos).Is(":"))
                Fail(op, "missing ':'");
            ++pos;
            int64_t b = Evaluate(tokens, pos, 0, unknown);
            left = left ? a : b;
            continue;
        }
        int precedence = BinaryPrecedence(op);
        if (precedence == 0 || precedence < std::max(minPrecedence, 1))
            return left;
        ++pos;
        int64_t right = Evaluate(tokens, pos, precedence + 1, unknown);
        const std::string& o = op.text;
        if ((o == "/" || o == "%") && right == 0)
            Fail(op, "division by zero");
        if (o == "||")
            left = left || right;
        else if (o == "&&")
            left = left && right;
        else if (o == "|")
            left |= right;
        else if (o == "^")
            left ^= right;
        else if (o == "&")
            left &= right;
        else if (o == "==")
            left = left == right;
        else if (o == "!=")
            left = left != right;
        else if (o == "<")
            left = left < right;
        else if (o == ">")
            left = left > right;
        else if (o == "<=")
            left = left <= right;
        else if (o == ">=")
            left = left >= right;
        else if (o == "<<")
            left = static_cast<int64_t>(static_cast<uint64_t>(left) << (right & 63));
        else if (o == ">>")
            left >>= (right & 63);
        else if (o == "+")
            left += right;
        else if (o == "-")
            left -= right;
        else if (o == "*")
            left *= right;
        else if (o == "/")
            left /= right;
        else
            left %= right;
    }
}

}  // namespace vlm::mfc::rc
