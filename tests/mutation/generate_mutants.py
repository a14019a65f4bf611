#!/usr/bin/env python3
"""Mutants derived mechanically from the library's C++ sources.

Every fault kind the tests must notice, planted once per place it can go:

  num      a number that is a pause, count, length or offset made n+1 and n-1: a named
           constant or table entry, a call's argument, a subscript, a term of + or -, a
           bound compared with (not 0); a unit factor (of * / %) made ten times larger
           and smaller. Masks, shifts, result codes and starting values are left alone.
  char     a character constant (a command byte, a separator) made one higher and one lower
  text     a string literal (a console or trace text, a label, a path) changed by one
           character: the first letter outside a conversion in the other case
  stream   stdout and stderr swapped; printf(...) sent to stderr instead
  verbose  a verbose condition forced to 1 and to 0: the flag (or the `show` flag made
           from it) compared, negated, deciding an if, a ?: or an && / ||, or handed to
           a display helper of the same file
  cmp      a comparison's boundary moved: < and <=, > and >= exchanged
  ret      a returned variable replaced by the constant 0

The sources are read with a tokenizer, so comments, preprocessor lines and the
insides of literals are never touched. Left out, as a change there is no fault
the tests could see: the contents of static_assert, offsetof and alignas, the
linkage string of extern "C", and the template arguments of std::array and
its kin (storage sizes of tables and buffers: a listed table stops building,
a buffer gains or loses spare room; the sizes that shape behaviour are named
constants, mutated where they are defined). The public headers are left out
too: the tests and the simulator compile against the same constants, so a
change there moves both sides at once.

Each mutant has an id FILE:LINE:KIND:N (N counts that kind on that line, from
1, left to right): the same sources give the same ids, so runs compare.

    tests/mutation/generate_mutants.py [FILE...] [--kinds num,text,...]

lists the mutants of the given files (default: the .cpp and private headers
of bbu/ and i2c/) with the line as it is and as the mutant makes it.
"""
import argparse
import os
import re
import sys
from dataclasses import dataclass

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
LIBRARY_DIRS = ("i2c", "bbu")
KINDS = ("num", "char", "text", "stream", "verbose", "cmp", "ret")

# Longest first, so that "<<=" is never read as "<" "<=".
PUNCTUATORS = sorted(
    """>>= <<= <=> ->* ... :: -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^=
    .* { } [ ] ( ) ; : ? . + - * / % ^ & | ~ ! = < > , #""".split(),
    key=len, reverse=True)
IDENT = re.compile(r"[A-Za-z_][A-Za-z_0-9]*")
PP_NUMBER = re.compile(r"\.?[0-9](?:[eEpP][+-]|['A-Za-z_0-9.])*")
LITERAL_PREFIX = re.compile(r"(?:u8|u|U|L)?R?(?=[\"'])")

# Templates whose argument lists hold types and storage sizes, not behaviour.
TEMPLATE_NAMES = {"array", "span", "unique_ptr", "vector", "pair", "tuple", "optional",
                  "numeric_limits", "static_cast", "reinterpret_cast", "const_cast",
                  "dynamic_cast", "bit_cast"}
SKIPPED_CALLS = {"static_assert", "BBU_STATIC_ASSERT", "offsetof", "alignas", "_Static_assert",
                 "BBU_PRINTF"}
VERBOSE_NAMES = {"verbose", "local_verbose", "show"}
TYPE_WORDS = {"int", "bool", "const", "auto", "unsigned", "char", "long", "short", "constexpr",
              "static"}


@dataclass
class Token:
    kind: str  # ident, number, string, char, punct, pp
    text: str
    start: int
    end: int
    line: int


def tokenize(src):
    """C++ tokens with their offsets; comments and whitespace dropped, each
    preprocessor directive kept whole as one 'pp' token."""
    tokens, i, line, n = [], 0, 1, len(src)
    at_line_start = True
    while i < n:
        c = src[i]
        if c == "\n":
            line += 1
            i += 1
            at_line_start = True
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if src.startswith("//", i):
            i = src.find("\n", i)
            i = n if i < 0 else i
            continue
        if src.startswith("/*", i):
            end = src.find("*/", i + 2)
            end = n if end < 0 else end + 2
            line += src.count("\n", i, end)
            i = end
            continue
        start, start_line = i, line
        if c == "#" and at_line_start:
            while i < n and src[i] != "\n":
                if src[i] == "\\" and i + 1 < n and src[i + 1] == "\n":
                    line += 1
                    i += 1
                i += 1
            tokens.append(Token("pp", src[start:i], start, i, start_line))
            continue
        at_line_start = False
        prefix = LITERAL_PREFIX.match(src, i)
        if prefix and (prefix.group() == "" and c in "\"'" or prefix.group()):
            j = prefix.end()
            quote = src[j]
            if prefix.group().endswith("R") and quote == '"':
                open_paren = src.index("(", j)
                delim = src[j + 1:open_paren]
                i = src.index(")" + delim + '"', open_paren) + len(delim) + 2
            else:
                j += 1
                while src[j] != quote:
                    if src[j] == "\n":
                        raise ValueError(f"line {line}: unterminated literal")
                    j += 2 if src[j] == "\\" else 1
                i = j + 1
            line += src.count("\n", start, i)
            tokens.append(Token("string" if quote == '"' else "char", src[start:i], start, i,
                                start_line))
            continue
        m = PP_NUMBER.match(src, i)
        if m:
            i = m.end()
            tokens.append(Token("number", m.group(), start, i, start_line))
            continue
        m = IDENT.match(src, i)
        if m:
            i = m.end()
            tokens.append(Token("ident", m.group(), start, i, start_line))
            continue
        for p in PUNCTUATORS:
            if src.startswith(p, i):
                i += len(p)
                tokens.append(Token("punct", p, start, i, start_line))
                break
        else:
            raise ValueError(f"line {line}: unexpected character {c!r}")
    return tokens


def skipped_spans(tokens):
    """Indexes of tokens no mutant may touch: inside static_assert(...) and
    its kin, the "C" of extern "C", and template argument lists."""
    skip, template_brackets = set(), set()
    for k, t in enumerate(tokens):
        if t.kind == "ident" and t.text in SKIPPED_CALLS and k + 1 < len(tokens) \
                and tokens[k + 1].text == "(":
            depth, j = 0, k + 1
            while j < len(tokens):
                depth += {"(": 1, ")": -1}.get(tokens[j].text, 0)
                skip.add(j)
                if depth == 0:
                    break
                j += 1
        if t.text == "extern" and k + 1 < len(tokens) and tokens[k + 1].kind == "string":
            skip.add(k + 1)
        opens_template = t.text == "<" and k > 2 and (
            tokens[k - 1].text == "template" or tokens[k - 1].text in TEMPLATE_NAMES
            or tokens[k - 2].text == "::" and tokens[k - 3].text == "std")
        if opens_template:
            depth, j = 0, k
            while j < len(tokens):
                text = tokens[j].text
                if text == "<":
                    depth += 1
                elif text in (">", ">>"):
                    depth -= len(text)
                elif text in (";", "{"):
                    break  # not a template after all
                skip.add(j)
                template_brackets.add(j)
                if depth <= 0:
                    break
                j += 1
    return skip, template_brackets


# ---- the value changes -------------------------------------------------------

NUMBER = re.compile(r"(0[xX][0-9a-fA-F']+|0[bB][01']+|[0-9][0-9']*)([uUlLzZ]*)$")


def number_variants(text):
    """n+1 and n-1 of an integer literal, written in its own base and suffix;
    no n-1 for 0 (it would make a negative where none may be)."""
    m = NUMBER.match(text)
    if not m:
        return []  # a floating constant: none in the library
    digits, suffix = m.group(1).replace("'", ""), m.group(2)
    if digits[:2].lower() == "0x":
        value, fmt = int(digits, 16), lambda v: digits[:2] + format(v, "X" if digits[2:].isupper()
                                                                   else "x").zfill(len(digits) - 2)
    elif digits[:2].lower() == "0b":
        value, fmt = int(digits, 2), lambda v: digits[:2] + format(v, "b")
    elif len(digits) > 1 and digits[0] == "0":
        value, fmt = int(digits, 8), lambda v: "0" + format(v, "o")
    else:
        value, fmt = int(digits), str
    return [fmt(v) + suffix for v in (value + 1, value - 1) if v >= 0]


SIMPLE_ESCAPES = {"n": 10, "t": 9, "r": 13, "0": 0, "a": 7, "b": 8, "f": 12, "v": 11,
                  "\\": 92, "'": 39, '"': 34, "?": 63}


def char_variants(text):
    """One higher and one lower of a plain character constant, as '\\xNN'."""
    if not text.startswith("'"):
        return []  # a prefixed (wide) constant: none in the library
    body = text[1:-1]
    if body.startswith("\\x"):
        value = int(body[2:], 16)
    elif body.startswith("\\") and body[1:].isdigit():
        value = int(body[1:], 8)
    elif body.startswith("\\"):
        value = SIMPLE_ESCAPES[body[1]]
    else:
        value = ord(body)
    return [f"'\\x{v:02x}'" for v in (value + 1, value - 1) if 0 <= v <= 0xFF]


CONVERSION = re.compile(r"%[-+ #0']*(?:\*|[0-9]+)?(?:\.(?:\*|[0-9]+))?(?:hh|h|ll|l|j|z|t|L)?"
                        r"[diouxXeEfFgGaAcspn%]")
ESCAPE = re.compile(r"\\(?:x[0-9a-fA-F]+|[0-7]{1,3}|.)")


def text_variant(text):
    """The literal changed by one character where a reader would see it: the
    first letter outside a conversion made the other case; with no letter, the
    first plain character dropped; with only conversions, one '~' appended."""
    open_quote = text.index('"')
    if text[:open_quote].endswith("R"):
        return None  # raw strings: none in the library
    body_start, body = open_quote + 1, text[open_quote + 1:-1]
    plain, i = [], 0
    while i < len(body):
        for pattern in (CONVERSION, ESCAPE):
            m = pattern.match(body, i)
            if m:
                if pattern is ESCAPE:
                    plain.append((i, m.end()))  # an escape is one character a reader sees
                i = m.end()
                break
        else:
            plain.append((i, i + 1))
            i += 1
    for a, b in plain:
        ch = body[a:b]
        if len(ch) == 1 and ch.isalpha() and ch.swapcase() != ch:
            return text[:body_start + a] + ch.swapcase() + text[body_start + b:]
    if plain:
        a, b = plain[0]
        return text[:body_start + a] + text[body_start + b:]
    return text[:-1] + '~"'


# ---- the mutants -------------------------------------------------------------

@dataclass
class Mutant:
    id: str
    file: str  # relative to the top of the tree
    line: int
    kind: str
    start: int
    end: int
    replacement: str
    before: str  # the source line as it is
    after: str  # the same line as the mutant makes it (its first line, if it spans more)
    span_lines: int = 1  # lines of source the mutant replaces
    # Lines whose execution can see the change: its own, or for a named
    # constant the lines that use it. Empty: its own lines.
    watch: tuple = ()

    def apply(self, src):
        return src[:self.start] + self.replacement + src[self.end:]


KEYWORDS = {"if", "while", "for", "switch", "return", "case", "sizeof", "alignof", "decltype",
            "catch"}
COMPARISONS = {"==", "!=", "<", "<=", ">", ">="}


def matching(tokens, k):
    """Index of the bracket closing the one at k."""
    pairs = {"(": ")", "[": "]", "{": "}"}
    depth = 0
    for j in range(k, len(tokens)):
        if tokens[j].text == tokens[k].text:
            depth += 1
        elif tokens[j].text == pairs[tokens[k].text]:
            depth -= 1
            if depth == 0:
                return j
    return len(tokens) - 1


def named_constants(tokens):
    """{token index: name of the constant} for the tokens that make up
    constexpr variables and tables (not constexpr functions): their values
    are the named pauses, counts, lengths, offsets and byte values."""
    inside = {}
    for k, t in enumerate(tokens):
        if t.text != "constexpr":
            continue
        j = k + 1
        name = None
        while j < len(tokens) and tokens[j].text not in ("=", "{", "(", ";"):
            if tokens[j].kind == "ident":
                name = tokens[j].text
            j = matching(tokens, j) if tokens[j].text == "[" else j + 1
        if j >= len(tokens) or tokens[j].text == "(":
            continue  # a function
        while j < len(tokens) and tokens[j].text != ";":
            j = matching(tokens, j) if tokens[j].text in ("(", "[", "{") else j + 1
        inside.update({i: name for i in range(k, j + 1)})
    return inside


def use_lines(tokens, constants, name, seen=None):
    """Lines where the named constant is used, through the constants and
    tables made from it: the only lines whose execution can see its value."""
    seen = seen if seen is not None else set()
    seen.add(name)
    lines = set()
    for i, t in enumerate(tokens):
        if t.kind != "ident" or t.text != name or constants.get(i) == name:
            continue
        other = constants.get(i)
        if other is None:
            lines.add(t.line)
        elif other not in seen:
            lines |= use_lines(tokens, constants, other, seen)
    return lines


def enclosing_call(tokens, k):
    """The name called, when token k is a whole argument of a call."""
    if tokens[k - 1].text not in ("(", ",") or tokens[k + 1].text not in (")", ","):
        return None
    depth = 0
    for j in range(k - 1, -1, -1):
        text = tokens[j].text
        if text in (")", "]", "}"):
            depth += 1
        elif text in ("(", "[", "{"):
            if depth == 0:
                if text != "(" or j == 0 or tokens[j - 1].kind != "ident" \
                        or tokens[j - 1].text in KEYWORDS:
                    return None
                return tokens[j - 1].text
            depth -= 1
    return None


def number_role(tokens, k, constants):
    """Why the number at k is a pause, count, length or offset, or None when
    it is none of them (a mask, a shift, a result code, a starting value)."""
    before, after = tokens[k - 1], tokens[k + 1]
    binary_before = tokens[k - 2].kind == "number" or tokens[k - 2].text in (")", "]") \
        or tokens[k - 2].kind == "ident" and tokens[k - 2].text not in KEYWORDS
    if before.text in ("*", "/", "%") or after.text in ("*", "/", "%"):
        return "factor"
    if k in constants:
        return "constant"
    if before.text == "[" and after.text == "]":
        return "offset"
    if after.text in ("+", "-") or before.text in ("+", "-") and binary_before:
        return "offset"
    if (before.text in COMPARISONS or after.text in COMPARISONS) and tokens[k].text != "0":
        return "count"
    if enclosing_call(tokens, k):
        return "argument"
    if before.text in ("{", ",") and after.text in ("}", ","):
        return "listed"
    return None


def factor_variants(text):
    """A unit factor made ten times too large and too small."""
    m = NUMBER.match(text)
    value = int(m.group(1).replace("'", ""), 0) if m and not m.group(1).startswith("0") \
        or text == "0" else None
    if value is None or value < 10:
        return number_variants(text)
    return [str(value * 10) + m.group(2), str(value // 10) + m.group(2)]


def defined_functions(tokens):
    """Names of the functions this file defines."""
    names = set()
    for k, t in enumerate(tokens[:-1]):
        if t.kind == "ident" and t.text not in KEYWORDS and tokens[k + 1].text == "(" and k > 0 \
                and (tokens[k - 1].kind == "ident" or tokens[k - 1].text in ("*", "&", ">")):
            close = matching(tokens, k + 1)
            if close + 1 < len(tokens) and tokens[close + 1].text == "{":
                names.add(t.text)
    return names


def verbose_atoms(tokens, skip):
    """Spans (first, last token index) of each verbose condition: a verbose
    name compared with a number or negated; a bare one where it decides (an
    if or while, a ?:, an && or ||), the `show` flag handed on, and the flag
    handed to a display helper of this file. Not the flag handed down to the
    transfers and status reads of other files: their own conditions are
    mutated where they are written."""
    helpers = defined_functions(tokens)
    atoms = []
    for k, t in enumerate(tokens):
        if k in skip or t.kind != "ident" or t.text not in VERBOSE_NAMES:
            continue
        before = tokens[k - 1].text if k > 0 else ""
        after = tokens[k + 1].text if k + 1 < len(tokens) else ""
        if before in TYPE_WORDS or before in (".", "->", "::") or after in ("(", "=") \
                or tokens[k - 1].kind == "ident":
            continue
        if before == "!":
            atoms.append((k - 1, k))
        elif after in ("==", "!=") and k + 2 < len(tokens) and tokens[k + 2].kind == "number":
            atoms.append((k, k + 2))
        elif after in ("?", "&&", "||") or before in ("&&", "||") or t.text == "show" \
                or before == "(" and tokens[k - 2].text in ("if", "while") \
                or enclosing_call(tokens, k) in helpers:
            atoms.append((k, k))
    return atoms


def mutants_of(rel, src, kinds=KINDS):
    tokens = tokenize(src)
    skip, template_brackets = skipped_spans(tokens)
    constants = named_constants(tokens)
    lines = src.split("\n")
    found = []  # (start, end, kind, replacement)

    uses = {}

    def add(first, last, kind, replacement):
        name = constants.get(first)
        if name is not None and name not in uses:
            uses[name] = tuple(sorted(use_lines(tokens, constants, name)))
        found.append((tokens[first].start, tokens[last].end, kind, replacement,
                      uses[name] if name is not None else ()))

    for k, t in enumerate(tokens):
        if k in skip:
            continue
        prev = tokens[k - 1].text if k > 0 else ""
        if t.kind == "number":
            role = number_role(tokens, k, constants)
            for v in (factor_variants if role == "factor" else number_variants)(t.text) \
                    if role else []:
                add(k, k, "num", v)
        elif t.kind == "char":
            for v in char_variants(t.text):
                add(k, k, "char", v)
        elif t.kind == "string":
            v = text_variant(t.text)
            if v is not None:
                add(k, k, "text", v)
        elif t.kind == "ident" and t.text in ("stdout", "stderr"):
            add(k, k, "stream", "stderr" if t.text == "stdout" else "stdout")
        elif t.kind == "ident" and t.text == "printf" and prev not in (".", "->") \
                and k + 1 < len(tokens) and tokens[k + 1].text == "(":
            found.append((t.start, tokens[k + 1].end, "stream", "fprintf(stderr, ", ()))
        elif t.kind == "punct" and t.text in ("<", "<=", ">", ">=") and k not in template_brackets:
            add(k, k, "cmp", {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}[t.text])
        elif t.text == "return":
            j = k + 1
            path = []
            while j < len(tokens) and tokens[j].kind == "ident":
                path.append(tokens[j].text)
                if j + 1 < len(tokens) and tokens[j + 1].text in (".", "->"):
                    j += 2
                    continue
                j += 1
                break
            constant = not path or re.fullmatch(r"[A-Z][A-Z0-9_]*", path[0]) \
                or path[0] in ("true", "false", "nullptr", "this")
            if not constant and j < len(tokens) and tokens[j].text == ";" \
                    and tokens[j - 1].kind == "ident":
                add(k + 1, j - 1, "ret", "0")
    for first, last in verbose_atoms(tokens, skip):
        for forced in ("1", "0"):
            add(first, last, "verbose", forced)

    found.sort(key=lambda f: (f[0], KINDS.index(f[2])))
    mutants, ordinal = [], {}
    for start, end, kind, replacement, watch in found:
        if kind not in kinds:
            continue
        line = src.count("\n", 0, start) + 1
        key = (line, kind)
        ordinal[key] = ordinal.get(key, 0) + 1
        mutated = src[:start] + replacement + src[end:]
        line_start = src.rfind("\n", 0, start) + 1
        line_end = mutated.find("\n", start)
        mutants.append(Mutant(f"{rel}:{line}:{kind}:{ordinal[key]}", rel, line, kind, start, end,
                              replacement, lines[line - 1].strip(),
                              mutated[line_start:line_end if line_end >= 0 else None].strip(),
                              watch=watch))
    return mutants


def library_sources(top=TOP):
    """The .cpp files and the private headers of the library's folders."""
    files = []
    for d in LIBRARY_DIRS:
        for name in sorted(os.listdir(os.path.join(top, d))):
            if name.endswith((".cpp", ".h")):
                files.append(f"{d}/{name}")
    return files


def generate(files=None, kinds=KINDS, top=TOP):
    mutants = []
    for rel in files or library_sources(top):
        with open(os.path.join(top, rel), encoding="utf-8") as f:
            mutants += mutants_of(rel, f.read(), kinds)
    return mutants


def parse_kinds(text):
    kinds = tuple(k for k in text.split(",") if k)
    unknown = set(kinds) - set(KINDS)
    if unknown:
        raise argparse.ArgumentTypeError(f"no kind {', '.join(sorted(unknown))} "
                                         f"(kinds: {', '.join(KINDS)})")
    return kinds


def main():
    ap = argparse.ArgumentParser(description="List the mutants derived from the library's sources.")
    ap.add_argument("files", nargs="*", help="files relative to the top of the tree")
    ap.add_argument("--kinds", type=parse_kinds, default=KINDS)
    args = ap.parse_args()
    mutants = generate(args.files, args.kinds)
    for m in mutants:
        print(f"{m.id}\n    - {m.before}\n    + {m.after}")
    counts = {k: sum(m.kind == k for m in mutants) for k in args.kinds}
    print(f"{len(mutants)} mutants: " + ", ".join(f"{k} {n}" for k, n in counts.items()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
