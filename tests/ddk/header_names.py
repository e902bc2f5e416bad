#!/usr/bin/env python3
"""Names the platform's DDK-named headers declare that the DDK's own lack.

Every macro, type, tag, enumerator, routine and variable a header of ours
declares (ntddk.h, wdm.h, ntddser.h, ...) must also exist when a driver
includes MinGW-w64's DDK headers of the same names; otherwise a driver
could come to rely on it and no longer compile against the real headers.
Names the platform needs beyond the DDK live in its vlm/ headers, which
this audit does not read.

A name counts as existing when the compiler says so: it is a macro after
the headers are included, or `using ::name;` compiles. Names are first
picked from our headers' text and then kept only if our own headers pass
the same test, so the picking may be generous.

Exit status: 0 when nothing is missing, 1 when names are missing, 2 when
the audit could not run.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

IDENT = re.compile(r"[A-Za-z_]\w*")
KEYWORDS = {
    "const", "volatile", "struct", "union", "enum", "typedef", "extern", "static", "inline",
    "void", "char", "short", "int", "long", "unsigned", "signed", "double", "float", "bool",
}


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", " ", text)


def split_top_level(text, separator):
    parts, depth, start = [], 0, 0
    for i, c in enumerate(text):
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == separator and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    parts.append(text[start:])
    return parts


def name_before_paren(text):
    """The identifier right before the first '(' at depth 0."""
    depth = 0
    for i, c in enumerate(text):
        if c == "(" and depth == 0:
            found = IDENT.findall(text[:i])
            return found[-1] if found else None
        if c in "[{":
            depth += 1
        elif c in "]}":
            depth -= 1
    return None


def enum_constants(body):
    names = []
    for item in split_top_level(body, ","):
        found = IDENT.match(item.strip())
        if found:
            names.append(found.group(0))
    return names


def declarator_name(declarator):
    pointer_to_function = re.search(r"\(\s*(?:\w+\s*)*\*\s*(\w+)\s*\)", declarator)
    if pointer_to_function:
        return pointer_to_function.group(1)
    if "(" in declarator:
        return name_before_paren(declarator)
    found = [w for w in IDENT.findall(re.sub(r"\[[^\]]*\]", " ", declarator)) if w not in KEYWORDS]
    return found[-1] if found else None


def statements(code):
    """Top-level declarations: up to ';', or a function body's closing '}'."""
    result, depth, start = [], 0, 0
    for i, c in enumerate(code):
        if c == "{":
            depth += 1
        elif c == "}":
            depth -= 1
            if depth == 0:
                head = code[start:i].split("{", 1)[0]
                if not re.search(r"\b(typedef|struct|union|enum)\b", head):
                    result.append(code[start:i + 1])
                    start = i + 1
        elif c == ";" and depth == 0:
            result.append(code[start:i])
            start = i + 1
    return [s.strip() for s in result if s.strip()]


def declared_names(path):
    text = strip_comments(open(path, encoding="utf-8").read())
    text = re.sub(r"\\\n", " ", text)
    names = set(re.findall(r"^\s*#\s*define\s+(\w+)", text, re.M))
    # extern "C" { ... } brackets the declarations; they are not ones.
    text = re.sub(r'extern\s*"C"\s*\{', " ", text)
    text = re.sub(r"#\s*ifdef\s+__cplusplus\s*\}\s*#\s*endif", " ", text)
    code = "\n".join(line for line in text.split("\n") if not line.lstrip().startswith("#"))
    for statement in statements(code):
        for match in re.finditer(r"\b(struct|union|enum)\s+(\w+)\s*\{", statement):
            names.add(match.group(2))
        for match in re.finditer(r"\benum\s*\w*\s*\{([^{}]*)\}", statement):
            names.update(enum_constants(match.group(1)))
        if statement.startswith("typedef"):
            rest = statement[len("typedef"):]
            if "}" in rest:
                rest = rest[rest.rfind("}") + 1:]
            for declarator in split_top_level(rest, ","):
                name = declarator_name(declarator)
                if name:
                    names.add(name)
        elif re.match(r"(struct|union|enum)\b", statement) and "(" not in statement.split("{", 1)[0]:
            continue
        elif "(" in statement:
            name = name_before_paren(statement)
            if name:
                names.add(name)
        else:
            name = declarator_name(statement)
            if name:
                names.add(name)
    return names


def run(command):
    return subprocess.run(command, capture_output=True, text=True)


def existing(compiler, flags, includes, names, workdir, label):
    """The subset of names that exist after the includes, by the compiler."""
    prologue = "".join("#include <%s>\n" % h for h in includes)
    probe = os.path.join(workdir, label + ".cpp")
    with open(probe, "w") as f:
        f.write(prologue)
    dump = run([compiler] + flags + ["-E", "-dM", probe])
    if dump.returncode != 0:
        sys.exit("header_names: %s cannot preprocess the headers:\n%s" % (compiler, dump.stderr))
    macros = set(re.findall(r"^#define (\w+)", dump.stdout, re.M))
    present = {n for n in names if n in macros}
    rest = sorted(n for n in names if n not in macros)
    lines = prologue.count("\n")
    with open(probe, "w") as f:
        f.write(prologue)
        for i, name in enumerate(rest):
            f.write("namespace vlm_probe_%d { using ::%s; }\n" % (i, name))
    result = run([compiler] + flags + ["-fsyntax-only", "-fmax-errors=0", probe])
    failed_lines = {int(m) for m in re.findall(r"%s:(\d+):\d+: error" % re.escape(probe), result.stderr)}
    if result.returncode != 0 and not failed_lines:
        sys.exit("header_names: %s failed on the probe:\n%s" % (compiler, result.stderr))
    present.update(n for i, n in enumerate(rest) if lines + 1 + i not in failed_lines)
    return present


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--host-cxx", required=True, help="the compiler that builds the platform")
    parser.add_argument("--mingw-cxx", required=True, help="MinGW-w64's C++ cross compiler")
    parser.add_argument("--ddk", required=True, help="MinGW-w64's DDK include folder")
    parser.add_argument("--mingw-flag", action="append", default=[], help="extra flag for the cross compiler")
    parser.add_argument("--include", required=True, help="the platform's DDK-named include folder")
    parser.add_argument("headers", nargs="+", help="header names, as a driver includes them")
    args = parser.parse_args()

    by_header = {h: declared_names(os.path.join(args.include, h)) for h in args.headers}
    candidates = set().union(*by_header.values())
    with tempfile.TemporaryDirectory() as workdir:
        ours = existing(args.host_cxx, ["-std=c++20", "-fshort-wchar", "-I", args.include], args.headers,
                        candidates, workdir, "ours")
        theirs = existing(args.mingw_cxx, ["-std=c++17", "-isystem", args.ddk] + args.mingw_flag, args.headers,
                          ours, workdir, "theirs")
    missing = 0
    for header in args.headers:
        lacking = sorted(n for n in by_header[header] if n in ours and n not in theirs)
        print("%-12s %4d names%s" % (header, len(by_header[header] & ours),
                                     ", the DDK lacks: " + " ".join(lacking) if lacking else ", all in the DDK"))
        missing += len(lacking)
    if missing:
        print("header_names: %d name(s) above exist only in the platform's headers; declare them in a vlm/ "
              "header, out of a driver's sight, or drop them" % missing)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
