"""Reads the write waits and the part ids of parts out of avrdude's part file (/etc/avrdude.conf,
Debian package avrdude), following each part's parent."""
import re

DEFAULT_PATH = "/etc/avrdude.conf"
_ASSIGN = re.compile(r"(\w+)\s*=\s*([^;]*);")


def load(path=DEFAULT_PATH):
    """{desc: part}, where a part is {"values": {...}, "memories": {name: {...}}, "parent": id}."""
    text = re.sub(r"#.*", "", open(path, encoding="latin-1").read())
    by_id, by_desc = {}, {}
    for m in re.finditer(r"^part\b(.*?)^;", text, re.S | re.M):
        body = m.group(1)
        parent = re.match(r'\s*parent\s+"([^"]+)"', body)
        head = re.split(r"\bmemory\b", body)[0]
        part = {"parent": parent.group(1) if parent else None,
                "values": {k: v.strip() for k, v in _ASSIGN.findall(head)}, "memories": {}}
        for mm in re.finditer(r'memory\s+"(\w+)"(.*?)^\s*;', body, re.S | re.M):
            part["memories"][mm.group(1)] = {k: v.strip() for k, v in _ASSIGN.findall(mm.group(2))}
        by_id[part["values"].get("id", "").strip('"')] = part
        by_desc[part["values"].get("desc", "").strip('"')] = part
    for part in by_desc.values():
        part["by_id"] = by_id
    return by_desc


def _get(part, key, memory=None):
    while part:
        where = part["memories"].get(memory, {}) if memory else part["values"]
        if key in where:
            return where[key]
        part = part["by_id"].get(part["parent"]) if part["parent"] else None
    return None


def waits(parts, name):
    """(flash, eeprom, erase, fuse) in microseconds, the longer of min_ and max_write_delay (fuse:
    of the fuse and lock memories), or None when the file has no part of that name."""
    part = parts.get(name)
    if part is None:
        return None
    number = lambda v: int(v, 0) if v and v != "NULL" else 0
    delay = lambda mem: max(number(_get(part, "min_write_delay", mem)), number(_get(part, "max_write_delay", mem)))
    fuses = [delay(m) for m in ("lfuse", "hfuse", "efuse", "fuse", "lock") if _get(part, "size", m) not in (None, "NULL")]
    return (delay("flash"), delay("eeprom"), number(_get(part, "chip_erase_delay")), max(fuses + [0]))


def part_ids(parts, names, signature, settled=()):
    """The ids ("m8", "m8a") the file gives the parts of these names that share the row's
    signature: the names users of the field type after -p. A part of that name with another
    signature is another chip to the file, and its id is left out (and said), unless a datasheet
    settled the signature and the id is in settled."""
    ids = []
    for n in names:
        part = parts.get(n)
        if part is None:
            continue
        theirs = [int(b, 0) for b in (_get(part, "signature") or "").split()]
        if part["values"]["id"].strip('"') in settled:
            ids.append(part["values"]["id"].strip('"'))
            continue
        if theirs != list(signature):
            print("%s: avrdude.conf gives signature %s, not %s: its id is left out"
                  % (n, " ".join("%02X" % b for b in theirs), " ".join("%02X" % b for b in signature)))
            continue
        ids.append(part["values"]["id"].strip('"'))
    return ids


def ready_poll(parts, names):
    """True when the file programs any memory of the part by polling RDY/BSY (its STK500 mode
    bits 0x08 for byte writes or 0x40 for pages): the chip has the Poll RDY/BSY instruction
    (F0). None when the file has none of these names."""
    found = None
    for n in names:
        part = parts.get(n)
        if part is None:
            continue
        found = False
        for memory in ("flash", "eeprom"):
            mode = _get(part, "mode", memory)
            if mode and mode != "NULL" and int(mode, 0) & 0x48:
                return True
    return found


def eeprom_page(parts, name):
    """The EEPROM page size the file gives a part whose EEPROM is loaded by Load EEPROM Memory
    Page (C1), or 0."""
    part = parts.get(name)
    if part is None:
        return 0
    load = _get(part, "loadpage_lo", "eeprom") or ""
    size = _get(part, "page_size", "eeprom")
    return int(size, 0) if load.startswith('"1100.0001') and size else 0
