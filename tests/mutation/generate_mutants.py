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
import argparse, os, re, sys
from collections import namedtuple
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
LIBRARY_DIRS = ("i2c", "bbu")
KINDS = ("num", "char", "text", "stream", "verbose", "cmp", "ret")

# One token at a time. A '#' starts a preprocessor directive (kept whole, with
# its continued lines) only where it is the first token of a line.
TOKEN = re.compile(
    r"(?P<blank>[ \t\r\f\v\n]+)|(?P<comment>//[^\n]*|/\*.*?(?:\*/|\Z))|(?P<pp>#(?:\\\n|[^\n])*)"
    r"|(?P<string>(?:u8|u|U|L)?(?:R\"(?P<delim>[^(]*)\(.*?\)(?P=delim)\"|\"(?:\\.|[^\"\\\n])*\"))"
    r"|(?P<char>(?:u8|u|U|L)?R?'(?:\\.|[^'\\\n])*')"
    r"|(?P<number>\.?[0-9](?:[eEpP][+-]|['A-Za-z_0-9.])*)|(?P<ident>[A-Za-z_][A-Za-z_0-9]*)"
    r"|(?P<punct>" + "|".join(map(re.escape, sorted(  # longest first: "<<=" is not "<" "<="
        """>>= <<= <=> ->* ... :: -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^= .* { } [
        ] ( ) ; : ? . + - * / % ^ & | ~ ! = < > , #""".split(), key=len, reverse=True))) + ")", re.S)

# Templates whose argument lists hold types and storage sizes, not behaviour.
TEMPLATE_NAMES = set("""array span unique_ptr vector pair tuple optional numeric_limits static_cast
    reinterpret_cast const_cast dynamic_cast bit_cast""".split())
SKIPPED_CALLS = set("static_assert BBU_STATIC_ASSERT offsetof alignas _Static_assert BBU_PRINTF"
                    .split())
VERBOSE_NAMES = {"verbose", "local_verbose", "show"}
TYPE_WORDS = set("int bool const auto unsigned char long short constexpr static".split())
KEYWORDS = set("if while for switch return case sizeof alignof decltype catch".split())
COMPARISONS = {"==", "!=", "<", "<=", ">", ">="}
Token = namedtuple("Token", "kind text start end line")  # kind: ident number string char punct pp


def tokenize(src):
    """C++ tokens with their offsets and lines; comments and blanks dropped."""
    tokens, i, line, at_line_start = [], 0, 1, True
    while i < len(src):
        m = TOKEN.match(src, i)
        if not m:
            raise ValueError(f"line {line}: unexpected character {src[i]!r}")
        kind, end = m.lastgroup, m.end()
        if kind == "pp" and not at_line_start:
            kind, end = "punct", i + 1
        if kind == "blank":
            at_line_start = at_line_start or "\n" in m.group()
        elif kind != "comment":
            tokens.append(Token(kind, src[i:end], i, end, line))
            at_line_start = False
        line += src.count("\n", i, end)
        i = end
    return tokens


def matching(tokens, k):
    """Index of the bracket closing the one at k."""
    pair, depth = {"(": ")", "[": "]", "{": "}"}[tokens[k].text], 0
    for j in range(k, len(tokens)):
        depth += (tokens[j].text == tokens[k].text) - (tokens[j].text == pair)
        if depth == 0:
            return j
    return len(tokens) - 1


def skipped_spans(tokens):
    """Indexes of tokens no mutant may touch: inside static_assert(...) and
    its kin, the "C" of extern "C", and template argument lists."""
    skip = set()
    for k, t in enumerate(tokens):
        if t.text in SKIPPED_CALLS and k + 1 < len(tokens) and tokens[k + 1].text == "(":
            skip.update(range(k + 1, matching(tokens, k + 1) + 1))
        if t.text == "extern" and k + 1 < len(tokens) and tokens[k + 1].kind == "string":
            skip.add(k + 1)
        if t.text == "<" and k > 2 and (tokens[k - 1].text == "template" or tokens[k - 1].text
                                        in TEMPLATE_NAMES or tokens[k - 2].text == "::"
                                        and tokens[k - 3].text == "std"):
            depth = 0
            for j in range(k, len(tokens)):
                if tokens[j].text in (";", "{"):
                    break  # not a template after all
                depth += {"<": 1, ">": -1, ">>": -2}.get(tokens[j].text, 0)
                skip.add(j)
                if depth <= 0:
                    break
    return skip


# ---- the value changes -------------------------------------------------------

NUMBER = re.compile(r"(0[xX][0-9a-fA-F']+|0[bB][01']+|[0-9][0-9']*)([uUlLzZ]*)$")


def number_variants(text):
    """n+1 and n-1 of an integer literal, written in its own base and suffix;
    no n-1 for 0 (it would make a negative where none may be). None for a
    floating constant: there are none in the library."""
    m = NUMBER.match(text)
    if not m:
        return []
    digits, suffix = m.group(1).replace("'", ""), m.group(2)
    base, style, prefix = (16, "X" if digits[2:].isupper() else "x", digits[:2]) \
        if digits[:2].lower() == "0x" else (2, "b", digits[:2]) if digits[:2].lower() == "0b" \
        else (8, "o", "0") if len(digits) > 1 and digits[0] == "0" else (10, "d", "")
    width, value = len(digits) - 2 if base == 16 else 0, int(digits, base)
    return [prefix + format(v, style).zfill(width) + suffix for v in (value + 1, value - 1) if v >= 0]


def factor_variants(text):
    """A unit factor made ten times too large and too small."""
    m = NUMBER.match(text)
    value = int(m.group(1).replace("'", "")) if m and m.group(1)[0] != "0" else 0
    return number_variants(text) if value < 10 else [str(v) + m.group(2)
                                                     for v in (value * 10, value // 10)]


SIMPLE_ESCAPES = {"n": 10, "t": 9, "r": 13, "0": 0, "a": 7, "b": 8, "f": 12, "v": 11,
                  "\\": 92, "'": 39, '"': 34, "?": 63}


def char_variants(text):
    """One higher and one lower of a plain (not wide) character constant, as '\\xNN'."""
    body = text[1:-1]
    if not text.startswith("'"):
        return []
    value = ord(body) if body[0] != "\\" else int(body[2:], 16) if body[1] == "x" \
        else int(body[1:], 8) if body[1:].isdigit() else SIMPLE_ESCAPES[body[1]]
    return [f"'\\x{v:02x}'" for v in (value + 1, value - 1) if 0 <= v <= 0xFF]


# A piece of a string literal: a conversion, or one character a reader sees
# (an escape counts as one).
PIECE = re.compile(r"%[-+ #0']*(?:\*|[0-9]+)?(?:\.(?:\*|[0-9]+))?(?:hh|h|ll|l|j|z|t|L)?"
                   r"[diouxXeEfFgGaAcspn%]|(\\(?:x[0-9a-fA-F]+|[0-7]{1,3}|.)|.)", re.S)


def text_variant(text):
    """The literal changed by one character where a reader would see it: the
    first letter outside a conversion made the other case; with no letter, the
    first plain character dropped; with only conversions, one '~' appended.
    None for a raw string: none in the library."""
    at = text.index('"') + 1
    if text[:at - 1].endswith("R"):
        return None
    plain = [m.span(1) for m in PIECE.finditer(text, at, len(text) - 1) if m.group(1)]
    for a, b in plain:
        if b - a == 1 and text[a].isalpha() and text[a].swapcase() != text[a]:
            return text[:a] + text[a].swapcase() + text[b:]
    return text[:plain[0][0]] + text[plain[0][1]:] if plain else text[:-1] + '~"'


# ---- the mutants -------------------------------------------------------------

class Mutant(namedtuple("Mutant", "id file line kind start end replacement before after "
                       "span_lines watch", defaults=(1, ()))):
    """A mutant: its id, its file (relative to the top of the tree), line and
    kind; the source from start to end becomes the replacement; the source
    line as it is and as the mutant makes it (its first line, if it spans
    more); the lines of source it replaces; the lines whose execution can see
    the change (for a named constant the lines that use it; empty: its own)."""

    def apply(self, src):
        return src[:self.start] + self.replacement + src[self.end:]


def named_constants(tokens):
    """{token index: name of the constant} for the tokens that make up
    constexpr variables and tables (not constexpr functions): their values
    are the named pauses, counts, lengths, offsets and byte values."""
    inside = {}
    for k in (k for k, t in enumerate(tokens) if t.text == "constexpr"):
        j, name = k + 1, None
        while j < len(tokens) and tokens[j].text not in ("=", "{", "(", ";"):
            name = tokens[j].text if tokens[j].kind == "ident" else name
            j = matching(tokens, j) if tokens[j].text == "[" else j + 1
        if j < len(tokens) and tokens[j].text != "(":  # not a function
            while j < len(tokens) and tokens[j].text != ";":
                j = matching(tokens, j) if tokens[j].text in ("(", "[", "{") else j + 1
            inside.update({i: name for i in range(k, j + 1)})
    return inside


def use_lines(tokens, constants, name, seen=None):
    """Lines where the named constant is used, through the constants and
    tables made from it: the only lines whose execution can see its value."""
    seen, lines = (seen or set()) | {name}, set()
    for i, t in enumerate(tokens):
        if t.kind == "ident" and t.text == name and constants.get(i) != name:
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
        if text in ("(", "[", "{") and depth == 0:
            named = text == "(" and j > 0 and tokens[j - 1].kind == "ident" \
                and tokens[j - 1].text not in KEYWORDS
            return tokens[j - 1].text if named else None
        depth += (text in (")", "]", "}")) - (text in ("(", "[", "{"))
    return None


def number_role(tokens, k, constants):
    """Why the number at k is a pause, count, length or offset, or None when
    it is none of them (a mask, a shift, a result code, a starting value)."""
    before, after = tokens[k - 1].text, tokens[k + 1].text
    binary_before = tokens[k - 2].kind == "number" or tokens[k - 2].text in (")", "]") \
        or tokens[k - 2].kind == "ident" and tokens[k - 2].text not in KEYWORDS
    if before in ("*", "/", "%") or after in ("*", "/", "%"):
        return "factor"
    if k in constants:
        return "constant"
    if before == "[" and after == "]" or after in ("+", "-") \
            or before in ("+", "-") and binary_before:
        return "offset"
    if (before in COMPARISONS or after in COMPARISONS) and tokens[k].text != "0":
        return "count"
    if enclosing_call(tokens, k):
        return "argument"
    return "listed" if before in ("{", ",") and after in ("}", ",") else None


def defined_functions(tokens):
    """Names of the functions this file defines."""
    return {t.text for k, t in enumerate(tokens[:-1])
            if t.kind == "ident" and t.text not in KEYWORDS and tokens[k + 1].text == "(" and k > 0
            and (tokens[k - 1].kind == "ident" or tokens[k - 1].text in ("*", "&", ">"))
            and matching(tokens, k + 1) + 1 < len(tokens)
            and tokens[matching(tokens, k + 1) + 1].text == "{"}


def verbose_atoms(tokens, skip):
    """Spans (first, last token index) of each verbose condition: a verbose
    name compared with a number or negated; a bare one where it decides (an
    if or while, a ?:, an && or ||), the `show` flag handed on, and the flag
    handed to a display helper of this file. Not the flag handed down to the
    transfers and status reads of other files: their own conditions are
    mutated where they are written."""
    helpers, atoms = defined_functions(tokens), []
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


def returned_path(tokens, k):
    """The index of the last token of `return a.b->c;` after the return at k
    (a variable: not a constant, a call or an expression), or None."""
    j = k + 1
    while tokens[j].kind == "ident" and tokens[j + 1].text in (".", "->"):
        j += 2
    ok = tokens[j].kind == "ident" and tokens[j + 1].text == ";" \
        and not re.fullmatch(r"[A-Z][A-Z0-9_]*|true|false|nullptr|this", tokens[k + 1].text)
    return j if ok else None


def mutants_of(rel, src, kinds=KINDS):
    tokens = tokenize(src)
    skip, constants, found = skipped_spans(tokens), named_constants(tokens), []

    def add(first, last, kind, replacement):
        name = constants.get(first)
        found.append((tokens[first].start, tokens[last].end, kind, replacement,
                      tuple(sorted(use_lines(tokens, constants, name))) if name else ()))

    flip = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "stdout": "stderr", "stderr": "stdout"}
    for k, t in enumerate(tokens):
        if k in skip:
            continue
        if t.kind == "number":
            role = number_role(tokens, k, constants)
            for v in (factor_variants if role == "factor" else number_variants)(t.text) * bool(role):
                add(k, k, "num", v)
        elif t.kind == "char":
            for v in char_variants(t.text):
                add(k, k, "char", v)
        elif t.kind == "string" and text_variant(t.text) is not None:
            add(k, k, "text", text_variant(t.text))
        elif t.text in ("stdout", "stderr") and t.kind == "ident":
            add(k, k, "stream", flip[t.text])
        elif t.text == "printf" and tokens[k - 1].text not in (".", "->") \
                and k + 1 < len(tokens) and tokens[k + 1].text == "(":
            found.append((t.start, tokens[k + 1].end, "stream", "fprintf(stderr, ", ()))
        elif t.kind == "punct" and t.text in ("<", "<=", ">", ">="):
            add(k, k, "cmp", flip[t.text])
        elif t.text == "return" and returned_path(tokens, k) is not None:
            add(k + 1, returned_path(tokens, k), "ret", "0")
    for first, last in verbose_atoms(tokens, skip):
        add(first, last, "verbose", "1")
        add(first, last, "verbose", "0")

    found.sort(key=lambda f: (f[0], KINDS.index(f[2])))
    mutants, ordinal, lines = [], {}, src.split("\n")
    for start, end, kind, replacement, watch in (f for f in found if f[2] in kinds):
        line = src.count("\n", 0, start) + 1
        ordinal[line, kind] = ordinal.get((line, kind), 0) + 1
        mutated = src[:start] + replacement + src[end:]
        after = mutated[src.rfind("\n", 0, start) + 1:].split("\n")[0].strip()
        mutants.append(Mutant(f"{rel}:{line}:{kind}:{ordinal[line, kind]}", rel, line, kind, start,
                              end, replacement, lines[line - 1].strip(), after, watch=watch))
    return mutants


def library_sources(top=TOP):
    """The .cpp files and the private headers of the library's folders."""
    return [f"{d}/{name}" for d in LIBRARY_DIRS for name in sorted(os.listdir(os.path.join(top, d)))
            if name.endswith((".cpp", ".h"))]


def generate(files=None, kinds=KINDS, top=TOP):
    return [m for rel in files or library_sources(top)
            for m in mutants_of(rel, Path(top, rel).read_text(encoding="utf-8"), kinds)]


def parse_kinds(text):
    if set(text.split(",")) - set(KINDS):
        raise argparse.ArgumentTypeError(f"kinds: {', '.join(KINDS)}")
    return tuple(text.split(","))


def main():
    ap = argparse.ArgumentParser(description="List the mutants derived from the library's sources.")
    ap.add_argument("files", nargs="*", help="files relative to the top of the tree")
    ap.add_argument("--kinds", type=parse_kinds, default=KINDS)
    args = ap.parse_args()
    mutants = generate(args.files, args.kinds)
    print("".join(f"{m.id}\n    - {m.before}\n    + {m.after}\n" for m in mutants), end="")
    print(f"{len(mutants)} mutants: " + ", ".join(f"{k} {sum(m.kind == k for m in mutants)}"
                                                  for k in args.kinds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
