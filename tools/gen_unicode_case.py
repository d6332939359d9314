#!/usr/bin/env python3
"""Generates src/exec/unicode_case_data.cc: the case-mapping tables behind
UPPER and LOWER.

The tables come from the Unicode character database of the Python
interpreter that runs this script (str.upper and str.lower apply the full,
locale-independent mappings, including the one-to-many ones such as
U+00DF -> "SS"). The engine itself never reads Unicode data at run time; the
output is checked in and only regenerated when the Unicode version is
deliberately moved.

Three kinds of table are written:
  * single-code-point mappings as runs {first, last, delta, stride}: every
    code point first, first+stride, ..., last maps to itself plus delta and
    no other code point inside [first, last] is mapped, so the runs are
    disjoint and a binary search on `first` finds the only candidate;
  * one-to-many mappings as {code point, up to three code points};
  * the two properties the final-sigma rule of LOWER needs (case-ignorable,
    and cased among the characters that are not case-ignorable), as disjoint
    runs {first, last, class}.

Usage: tools/gen_unicode_case.py [output path]
"""

import sys
import unicodedata

MAX_CP = 0x10FFFF
SIGMA = "\u03a3"


def code_points():
    for cp in range(MAX_CP + 1):
        if 0xD800 <= cp <= 0xDFFF:
            continue  # surrogates never occur in UTF-8 text
        yield cp


def mappings(fn):
    """Returns (single, multi): single maps cp -> cp, multi cp -> [cps]."""
    single, multi = {}, {}
    for cp in code_points():
        ch = chr(cp)
        if cp == 0x03A3 and fn is str.lower:
            mapped = "\u03c3"  # the context-free form; final sigma is decided by the caller
        else:
            mapped = fn(ch)
        if mapped == ch:
            continue
        if len(mapped) == 1:
            single[cp] = ord(mapped)
        else:
            assert len(mapped) <= 3, (hex(cp), mapped)
            multi[cp] = [ord(c) for c in mapped]
    return single, multi


def runs(single, multi):
    """Groups single mappings into disjoint runs of equal delta and stride."""
    mapped = set(single) | set(multi)
    out = []
    for cp in sorted(single):
        delta = single[cp] - cp
        if out:
            first, last, d, stride = out[-1]
            gap = cp - last
            free = all(c not in mapped for c in range(last + 1, cp))
            if d == delta and free and (gap == stride or (stride == 0 and gap in (1, 2))):
                out[-1] = [first, cp, d, gap]
                continue
        out.append([cp, cp, delta, 0])
    for r in out:
        if r[3] == 0:
            r[3] = 1
    return out


def check_runs(rs, single):
    """Simulates the engine's lookup over every code point."""
    firsts = [r[0] for r in rs]
    import bisect
    for cp in code_points():
        i = bisect.bisect_right(firsts, cp) - 1
        got = None
        if i >= 0:
            first, last, d, stride = rs[i]
            if cp <= last and (cp - first) % stride == 0:
                got = cp + d
        assert got == single.get(cp), (hex(cp), got, single.get(cp))


def case_classes():
    """1 = case-ignorable, 2 = cased and not case-ignorable, 0 = neither.

    Read off the interpreter's own final-sigma rule with three probes, so
    the classes are exactly those of the same Unicode data:
      lower("A" + c + SIGMA) ends in final sigma  <=> ignorable or cased
      lower(c + SIGMA) ends in final sigma        <=> cased and not ignorable
      lower("A" + SIGMA + c)[1] is final sigma    <=> ignorable or not cased
    """
    classes = {}
    for cp in code_points():
        c = chr(cp)
        p1 = ("A" + c + SIGMA).lower()[-1] == "\u03c2"
        p3 = (c + SIGMA).lower()[-1] == "\u03c2"
        p2 = ("A" + SIGMA + c).lower()[1] == "\u03c2"
        if p3:
            assert p1 and not p2, hex(cp)
            classes[cp] = 2
        elif p1:
            assert p2, hex(cp)
            classes[cp] = 1
        else:
            assert p2, hex(cp)
    out = []
    for cp in sorted(classes):
        k = classes[cp]
        if out and out[-1][2] == k and out[-1][1] == cp - 1:
            out[-1][1] = cp
        else:
            out.append([cp, cp, k])
    return out


def emit_runs(lines, name, rs):
    lines.append(f"const CaseRun {name}[] = {{")
    for first, last, d, stride in rs:
        lines.append(f"    {{0x{first:04X}, 0x{last:04X}, {d}, {stride}}},")
    lines.append("};")
    lines.append(f"const std::size_t {name}_size = sizeof({name}) / sizeof({name}[0]);")
    lines.append("")


def emit_multi(lines, name, multi):
    lines.append(f"const CaseMulti {name}[] = {{")
    for cp in sorted(multi):
        cps = multi[cp] + [0] * (3 - len(multi[cp]))
        body = ", ".join(f"0x{c:04X}" for c in cps)
        lines.append(f"    {{0x{cp:04X}, {{{body}}}}},")
    lines.append("};")
    lines.append(f"const std::size_t {name}_size = sizeof({name}) / sizeof({name}[0]);")
    lines.append("")


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "src/exec/unicode_case_data.cc"
    up_single, up_multi = mappings(str.upper)
    lo_single, lo_multi = mappings(str.lower)
    up_runs = runs(up_single, up_multi)
    lo_runs = runs(lo_single, lo_multi)
    check_runs(up_runs, up_single)
    check_runs(lo_runs, lo_single)
    classes = case_classes()

    lines = [
        "// Generated by tools/gen_unicode_case.py from Unicode "
        f"{unicodedata.unidata_version} character data. Do not edit.",
        "#include \"exec/unicode_case_data.h\"",
        "",
        "namespace bkf::unicode_data {",
        "",
    ]
    emit_runs(lines, "kUpperRuns", up_runs)
    emit_multi(lines, "kUpperMulti", up_multi)
    emit_runs(lines, "kLowerRuns", lo_runs)
    emit_multi(lines, "kLowerMulti", lo_multi)
    lines.append("const CaseClassRun kCaseClassRuns[] = {")
    for first, last, k in classes:
        lines.append(f"    {{0x{first:04X}, 0x{last:04X}, {k}}},")
    lines.append("};")
    lines.append("const std::size_t kCaseClassRuns_size = "
                 "sizeof(kCaseClassRuns) / sizeof(kCaseClassRuns[0]);")
    lines.append("")
    lines.append("}  // namespace bkf::unicode_data")
    with open(path, "w", encoding="ascii") as f:
        f.write("\n".join(lines) + "\n")
    print(f"{path}: {len(up_runs)} upper runs, {len(up_multi)} upper multi, "
          f"{len(lo_runs)} lower runs, {len(lo_multi)} lower multi, "
          f"{len(classes)} case-class runs")


if __name__ == "__main__":
    main()
