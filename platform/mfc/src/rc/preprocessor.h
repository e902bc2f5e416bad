// The preprocessor of resource scripts: #include, #define and #undef,
// #if/#ifdef/#ifndef/#elif/#else/#endif, #pragma once; comments and line
// continuations. Headers (.h, .c) contribute their directives only.
#pragma once

#include "rc/expression.h"
#include "rc/script.h"

#include <set>
#include <string>
#include <vector>

namespace vlm::mfc::rc {

struct Source {
    std::vector<std::string> files;  // Token::file indexes these
    std::vector<Token> tokens;       // the script's tokens, macros expanded
};

class Preprocessor {
public:
    explicit Preprocessor(const IncludeResolver& includes);
    Source Run(std::string_view text, std::string_view name);

private:
    struct Conditional {
        bool parentActive;
        bool taken;   // some branch so far was taken
        bool active;  // the current branch is taken
        bool sawElse;
        int line;  // of the #if, for an #endif that never comes
    };

    void ProcessFile(std::string_view text, const std::string& name, bool directivesOnly, bool system, int depth);
    void Directive(std::string_view line, int lineNumber, int fileIndex, bool directivesOnly, bool system, int depth,
            std::vector<Conditional>& conditionals);
    bool Active(const std::vector<Conditional>& conditionals) const;
    int64_t EvaluateCondition(std::string_view expression, int lineNumber);
    std::optional<IncludedFile> Resolve(const std::string& name, bool angled, bool& system) const;

    const IncludeResolver& m_includes;
    Macros m_macros;
    std::set<std::string> m_once;
    Source m_source;
};

// Text as the script's author saved it, made UTF-8 (a UTF-16 script with
// its byte-order mark is converted; a UTF-8 mark is dropped).
std::string DecodeScriptText(std::string_view raw);

}  // namespace vlm::mfc::rc
