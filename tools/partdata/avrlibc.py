"""Reads the values Quillet needs out of avr-libc's io headers.

A small preprocessor: #define, #undef, #include <avr/...>, and #if/#ifdef/#ifndef/#elif/#else/#endif
over defined(...) expressions, which is all the io headers use around the values we read.
"""
import os
import re

DEFAULT_DIR = "/usr/lib/avr/include"

_DIRECTIVE = re.compile(r"^\s*#\s*(\w+)\s*(.*)$")


def _condition(expr, macros):
    expr = re.sub(r"/\*.*?\*/|//.*$", "", expr)
    expr = re.sub(r"defined\s*\(\s*(\w+)\s*\)|defined\s+(\w+)",
                  lambda m: " 1 " if (m.group(1) or m.group(2)) in macros else " 0 ", expr)
    expr = re.sub(r"\b[A-Za-z_]\w*\b", lambda m: str(_number(macros.get(m.group(0), "0"))), expr)
    expr = expr.replace("&&", " and ").replace("||", " or ")
    expr = re.sub(r"!(?!=)", " not ", expr)
    if not re.fullmatch(r"[\s\d()a-z<>=!+\-*]*", expr):
        raise ValueError("unsupported #if expression: " + expr)
    return bool(eval(expr, {"__builtins__": {}}))


def _number(text):
    try:
        return int(text.strip().rstrip("UuLl"), 0)
    except ValueError:
        return 0


def preprocess(device, include_dir=DEFAULT_DIR):
    """Returns the macro table of <avr/io.h> for one device name, e.g. "ATmega328P"."""
    macros = {"__AVR_%s__" % device: "1"}
    ordered = []  # (name, value) in definition order, for the fuse byte grouping

    def run(path):
        stack = []  # (active, taken)
        text = open(path, encoding="latin-1").read()
        text = re.sub(r"\\\n", " ", text)
        text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
        for line in text.split("\n"):
            m = _DIRECTIVE.match(line)
            if not m:
                continue
            word, rest = m.group(1), m.group(2).strip()
            active = all(a for a, _ in stack)
            if word in ("if", "ifdef", "ifndef"):
                if not active:
                    stack.append((False, True))
                    continue
                if word == "ifdef":
                    c = rest.split()[0] in macros
                elif word == "ifndef":
                    c = rest.split()[0] not in macros
                else:
                    c = _condition(rest, macros)
                stack.append((c, c))
            elif word == "elif":
                _, taken = stack.pop()
                outer = all(a for a, _ in stack)
                c = outer and not taken and _condition(rest, macros)
                stack.append((c, taken or c))
            elif word == "else":
                _, taken = stack.pop()
                stack.append((not taken, True))
            elif word == "endif":
                stack.pop()
            elif not active:
                continue
            elif word == "define":
                dm = re.match(r"(\w+)(\([^)]*\))?\s*(.*)$", rest)
                if dm and not dm.group(2):
                    value = re.sub(r"//.*$", "", dm.group(3)).strip()
                    macros[dm.group(1)] = value
                    ordered.append((dm.group(1), value))
            elif word == "undef":
                macros.pop(rest.split()[0], None)
            elif word == "include":
                im = re.match(r"<(avr/io\w*\.h)>|\"(io\w*\.h)\"", rest)
                if im and im.group(1):
                    run(os.path.join(include_dir, im.group(1)))
                elif im:
                    run(os.path.join(os.path.dirname(path), im.group(2)))

    run(os.path.join(include_dir, "avr/io.h"))
    return macros, ordered


def evaluate(expr, macros, depth=0):
    """Value of a numeric macro expression such as (FUSE_CKSEL0 & FUSE_SUT0) or 0x7FFF."""
    if depth > 20:
        raise ValueError("macro recursion: " + expr)
    expr = expr.replace("(unsigned char)", "0xFF & ")
    expr = re.sub(r"_BV\s*\(\s*(\d+)\s*\)", r"(1 << \1)", expr)
    expr = re.sub(r"\b(0x[0-9A-Fa-f]+|\d+)[UuLl]+\b", r"\1", expr)

    def name(m):
        word = m.group(0)
        if word in macros:
            return "(%d)" % evaluate(macros[word], macros, depth + 1)
        raise ValueError("unknown macro " + word)

    expr = re.sub(r"\b[A-Za-z_]\w*\b", name, expr)
    if not re.fullmatch(r"[\s\dxXa-fA-F()&|~<>+\-*]*", expr):
        raise ValueError("unsupported expression: " + expr)
    return eval(expr, {"__builtins__": {}}) & 0xFFFFFFFF


def read_part(device, include_dir=DEFAULT_DIR):
    """Signature (None where the header lacks it), sizes, fuse bytes and lock bits of one
    device, or None without a header."""
    macros, ordered = preprocess(device, include_dir)
    if "FLASHEND" not in macros:
        return None
    get = lambda n: evaluate(macros[n], macros) if n in macros else None
    part = {
        "signature": ([get("SIGNATURE_0"), get("SIGNATURE_1"), get("SIGNATURE_2")]
                      if "SIGNATURE_0" in macros else None),
        "flashend": get("FLASHEND"),
        "e2end": get("E2END"),
        "spm_pagesize": get("SPM_PAGESIZE"),
        "e2pagesize": get("E2PAGESIZE"),
        "fuse_count": get("FUSE_MEMORY_SIZE") or 0,
    }
    # Fuse bits are listed byte after byte, each byte closed by its *FUSE_DEFAULT.
    # Headers without those defaults start a byte where the bit numbers start again.
    fuses, bits, last = [], [None] * 8, -1
    by_default = any(re.fullmatch(r"[LHE]?FUSE_DEFAULT", k) for k, _ in ordered)
    for key, value in ordered:
        if key.startswith("FUSE_") and key != "FUSE_MEMORY_SIZE":
            bm = re.search(r"_BV\s*\(\s*(\d)\s*\)", value)
            if bm:
                bit = int(bm.group(1))
                if bit <= last and not by_default:
                    fuses.append({"bits": bits, "factory": None})
                    bits = [None] * 8
                bits[bit], last = key[len("FUSE_"):], bit
        elif re.fullmatch(r"[LHE]?FUSE_DEFAULT", key):
            fuses.append({"bits": bits, "factory": evaluate(value, macros) & 0xFF})
            bits, last = [None] * 8, -1
    if any(bits):
        fuses.append({"bits": bits, "factory": None})
    part["fuses"] = fuses
    lock = [None] * 8
    if "__LOCK_BITS_EXIST" in macros:
        lock[0:2] = ["LB1", "LB2"]
    if "__BOOT_LOCK_BITS_0_EXIST" in macros:
        lock[2:4] = ["BLB01", "BLB02"]
    if "__BOOT_LOCK_BITS_1_EXIST" in macros:
        lock[4:6] = ["BLB11", "BLB12"]
    part["lock"] = lock
    return part


if __name__ == "__main__":
    import sys
    for d in sys.argv[1:]:
        print(d, read_part(d))
