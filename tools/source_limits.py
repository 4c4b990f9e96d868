#!/usr/bin/env python3
"""Keeps the C++ sources readable: no file over 450 lines, no function over 80.

    python3 tools/source_limits.py [ROOT]

Reads every *.cpp and *.h under ROOT's folders (the repository by default; build trees and
hidden folders left out) and names each file and each function over its limit, with the line
the function begins on. Exit status: 0 when all are within their limits, 1 when one is not (or
its braces do not pair up, so it cannot be measured), 2 when ROOT holds no C++ sources.

A function's length runs from the line of its opening brace to the line of its closing brace.
Lambdas and local classes inside a function count with it; a lambda outside any function
(one in a table of handlers, say) is a function of its own. The bodies of classes, structs,
unions, enums and namespaces, and brace initialisers, are not functions.
"""
import bisect
import os
import re
import sys

MAX_FILE_LINES = 450
MAX_FUNCTION_LINES = 80

# What the code is made of, in the order tried at each place: what cannot hold a function's
# braces is skipped (raw and plain string and character literals, comments, preprocessor
# lines), a digit separator is kept inside its number, and `operator==` and the like are one
# word.
TOKEN = re.compile(r"""
    (?P<skip>(?:u8|u|U|L)?R"(?P<delimiter>[^()\\\s"]{0,16})\(.*?\)(?P=delimiter)"
      | ^[ \t]*\#(?:\\\r?\n|[^\n])*
      | //[^\n]*
      | /\*.*?(?:\*/|\Z)
      | (?:u8|u|U|L)?"(?:\\.|[^"\\\n])*"?
      | (?:u8|u|U|L)?'(?:\\.|[^'\\\n])*'?
      | [ \t\r\f\v]+ | \n)  # a line break on its own, so that a directive starts a line
  | operator\b\s*(?:\(\s*\)|\[\s*\]|[-+*/%^&|~!=<>,]+)
  | [A-Za-z_]\w*
  | \.?\d(?:[eEpP][-+]|[\w.'])*
  | ::|->|.
""", re.VERBOSE | re.DOTALL | re.MULTILINE)
ACCESS_WORDS = {"public", "private", "protected", "signals", "slots", "Q_SIGNALS", "Q_SLOTS"}
QUALIFIERS = {"const", "override", "final", "noexcept", "mutable", "try", "volatile"}
CLASS_WORDS = {"class", "struct", "union", "enum"}
LAMBDA_WORDS = {"mutable", "constexpr", "consteval", "noexcept"}


def tokens(text):
    """(text, line) for each token of the source."""
    breaks = [m.start() for m in re.finditer("\n", text)]
    result = []
    for m in TOKEN.finditer(text):
        if m.group("skip") is None:
            word = m.group()
            if word.startswith("operator"):
                word = "".join(word.split())
            result.append((word, bisect.bisect_right(breaks, m.start()) + 1))
    return result


def strip_template(head):
    """The head without leading `template <...>` clauses."""
    while len(head) > 1 and head[0][0] == "template" and head[1][0] == "<":
        depth = 0
        for k in range(1, len(head)):
            depth += {"<": 1, ">": -1}.get(head[k][0], 0)
            if depth == 0:
                head = head[k + 1:]
                break
        else:
            return []
    return head


def depth_zero(head):
    """The head's tokens outside parentheses, brackets and template arguments, with their
    index (`f(int)` in `std::function<int(int)>` is no function)."""
    depth = angles = 0
    for k, (text, _) in enumerate(head):
        if text in ")]":
            depth -= 1
        elif text == ">" and depth == 0 and angles > 0:
            angles -= 1
            continue
        if depth == 0 and angles == 0:
            yield k, text
        if text in "([":
            depth += 1
        elif text == "<" and depth == 0 and k > 0 and head[k - 1][0].isidentifier():
            angles += 1


def lambda_start(head):
    """Where the lambda whose introducer, parameters and specifiers end the head begins (the
    index of its `[`), or None when the head does not end in one."""
    k = len(head)
    arrow = [j for j, t in depth_zero(head) if t == "->"]
    if arrow:
        k = arrow[-1]  # a trailing return type
    while k > 0 and head[k - 1][0] in LAMBDA_WORDS:
        k -= 1
    for opening, closing in (("(", ")"), ("[", "]")):
        if k > 0 and head[k - 1][0] == closing:
            depth = 0
            while k > 0:
                k -= 1
                depth += {closing: 1, opening: -1}.get(head[k][0], 0)
                if depth == 0:
                    break
        elif opening == "[":
            return None
    # An introducer opens an expression; a subscript follows a name or a closing bracket.
    if k > 0 and (head[k - 1][0].isidentifier() or head[k - 1][0] in ")]"):
        return None
    return k


def function_line(head):
    """The line a function's definition begins on: its name's."""
    for k, t in depth_zero(head):
        if t == "(" and k > 0:
            return head[k - 1][1]
    return head[0][1]


def classify(head, scope):
    """What a brace opens, from the tokens before it in its scope: (kind, line) with kind one
    of "function", "lambda" (a function inside an expression), "class", "namespace" and
    "init" (a brace initialiser), and line where a function begins."""
    opened = sum({"(": 1, ")": -1, "[": 1, "]": -1}.get(t, 0) for t, _ in head)
    expression = head
    if scope != "init" and opened <= 0:
        head = strip_template(head)
        flat = list(depth_zero(head))
        assignment = [k for k, t in flat if t == "="]
        if not assignment:
            return declaration(head, flat)
        expression = head[assignment[-1] + 1:]
    # Inside an initialiser, a call or a default argument, or after `=`: a value.
    k = lambda_start(expression)
    return ("init", 0) if k is None else ("lambda", expression[k][1])


def declaration(head, flat):
    """What a brace opens that ends a declaration (no `=` in it)."""
    words = [t for _, t in flat]
    if "namespace" in words or words == ["extern"]:
        return "namespace", 0
    for k, t in flat:
        if t in CLASS_WORDS and "(" not in words[k:]:
            return "class", 0
    if "(" not in words:
        return "init", 0
    # A constructor's member initialised with braces: `A() : b{1}, c{2} {`.
    before = head[-1][0]
    if ":" in words[words.index("("):] and (before == ">" or (before.isidentifier() and before not in QUALIFIERS)):
        return "init", 0
    return "function", function_line(head)


def is_macro_line(head, next_line):
    """A macro used without a semicolon (Q_OBJECT, QTEST_MAIN(...)) ends its own statement."""
    if not head or not re.fullmatch(r"[A-Z][A-Z0-9_]*", head[0][0]) or head[-1][1] == next_line:
        return False
    return len(head) == 1 or (head[1][0] == "(" and head[-1][0] == ")" and
                              sum(t == "(" for t, _ in head) == 1)


class Scope:
    def __init__(self, kind, line=0, first=0):
        self.kind = kind    # as classify() names it
        self.head = []      # the tokens since the last declaration ended in it
        self.line = line    # where its opening brace is
        self.first = first  # a function's first line
        self.depth = 0      # a function's braces still open inside it


def long_functions(text):
    """(first line, body lines) of every function over the limit; None when the braces do not
    pair up (a function could then hide in what is left)."""
    found = []
    toks = tokens(text)
    stack = [Scope("namespace")]
    for k, (text, line) in enumerate(toks):
        scope = stack[-1]
        if scope.kind in ("function", "lambda"):
            scope.depth += {"{": 1, "}": -1}.get(text, 0)
            if scope.depth >= 0:
                continue
            stack.pop()
            if line - scope.line + 1 > MAX_FUNCTION_LINES:
                found.append((scope.first, line - scope.line + 1))
            if scope.kind == "lambda":
                stack[-1].head.append(("{}", line))  # the expression goes on
            else:
                stack[-1].head = []
        elif text == "{":
            kind, first = classify(scope.head, scope.kind)
            stack.append(Scope(kind, line, first))
        elif text == "}":
            if len(stack) == 1:
                return None
            closed = stack.pop()
            if closed.kind == "init":
                stack[-1].head.append(("{}", line))
            else:
                stack[-1].head = []
        elif (text == ";" and scope.kind != "init") or (text == "," and scope.kind == "init"):
            scope.head = []
        elif text == ":" and scope.head and scope.head[-1][0] in ACCESS_WORDS:
            scope.head = []
        else:
            scope.head.append((text, line))
            following = toks[k + 1][1] if k + 1 < len(toks) else line + 1
            if is_macro_line(scope.head, following):
                scope.head = []
    return found if len(stack) == 1 else None


def sources(root):
    for top in sorted(os.listdir(root)) if os.path.isdir(root) else []:
        folder = os.path.join(root, top)
        if top.startswith((".", "build")) or not os.path.isdir(folder):
            continue
        for dirpath, dirnames, filenames in os.walk(folder):
            dirnames[:] = sorted(d for d in dirnames if not d.startswith("."))
            for name in sorted(filenames):
                if name.endswith((".cpp", ".h")):
                    yield os.path.join(dirpath, name)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    root = os.path.normpath(root)
    problems = 0
    checked = 0
    for path in sources(root):
        checked += 1
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        shown = os.path.relpath(path, root)
        lines = text.splitlines()
        if len(lines) > MAX_FILE_LINES:
            print(f"{shown}:{len(lines)}: the file has {len(lines)} lines, more than {MAX_FILE_LINES}")
            problems += 1
        functions = long_functions(text)
        if functions is None:
            print(f"{shown}:1: its braces do not pair up, so its functions cannot be measured")
            problems += 1
            continue
        for first, length in functions:
            print(f"{shown}:{first}: a function of {length} lines, more than {MAX_FUNCTION_LINES}: "
                  f"{lines[first - 1].strip() if 0 < first <= len(lines) else ''}")
            problems += 1
    if not checked:
        print(f"no C++ sources under {root}")
        return 2
    if problems:
        print(f"{problems} over the limits in {checked} files")
        return 1
    print(f"{checked} files within {MAX_FILE_LINES} lines and functions within {MAX_FUNCTION_LINES}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
