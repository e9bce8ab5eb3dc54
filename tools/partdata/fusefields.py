#!/usr/bin/env python3
"""Generates chips/generated/FuseFields.cpp: every fuse and lock field of the catalogue's chips in words.

From the device files' extract (tools/partdata/atdf-facts.txt, which atdf.py writes from the ATDF
files of epccs/ATmega_DFP, dwtk/devices and pdshelley/HALGEN), for each chip that has a file: each
bit field of its fuse and lock registers (name, caption, byte, mask) and the settings of its value
group (value, name, caption).

Usage: tools/partdata/fusefields.py [--facts tools/partdata/atdf-facts.txt] [--out chips/generated/FuseFields.cpp]

A setting's value is the field's bits shifted down to its lowest bit, as the device files give
it (a field with a gap, such as the ATtiny26's PLLCK_SUT_CKSEL, keeps the gap). Settings and
field lists shared by several chips are written once.
"""
import argparse
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import partdata  # noqa: E402

# The first chips, as the catalogue names them (chips/Catalogue.cpp); most AT90S parts and
# the ATtiny22 have no device file.
FIRST_CHIPS = ["AT90S1200", "AT90S2313", "AT90S2323", "AT90S2333", "AT90S2343", "AT90S4414",
               "AT90S4433", "AT90S4434", "AT90S8515", "AT90S8535", "AT90CAN32", "AT90CAN64",
               "AT90CAN128", "ATtiny12", "ATtiny13", "ATtiny15", "ATtiny22", "ATtiny2313",
               "ATtiny25", "ATtiny26", "ATtiny261", "ATtiny45", "ATtiny461", "ATtiny85", "ATtiny861"]

# Clock sources by the first word of a setting's name: after a write of one that needs a part
# outside the chip, the chip answers the programmer only with that part fitted and running.
EXTERNAL_SOURCES = ("EXTCLK", "EXTCRES", "EXTFSXTAL", "EXTHIFXTALRES", "EXTLOFXTAL", "EXTLOFXTALRES",
                    "EXTMEDFXTALRES", "EXTRCOSC", "EXTXOSC", "EXTXTALCRES", "FSOSC", "TOSC", "TRXOSC")
INTERNAL_SOURCES = ("INTRCOSC", "INTULPOSC", "PLLCLK", "WDOSC")
# The ATtiny12/15 start-up settings name the power's rise, not the source: their caption does.
POWER_RISE = ("QUICKPWR", "SLOWPWR", "VQUICKPWR")
CLOCK_FIELDS = ("SUT_CKSEL", "CKSEL_SUT", "CKSEL", "PLLCK_SUT_CKSEL")

# Where the datasheet overrules a device file's setting: {device: {field: {value: (name, caption)}}},
# and the note --describe shows for it.
# ATtiny25/45/85 datasheet 2586N Table 6-10: the low-frequency crystal's SUT 00 and 01 add 4 ms
# and 64 ms after reset; the device files say 0 ms and 4 ms, in their names as in their captions.
_LOFXTAL = "Ext. Low-Freq. Crystal; Start-up time PWRDWN/RESET: 1K CK/14 CK + %s"
SETTING_FIXES = {d: {"SUT_CKSEL": {0x06: ("EXTLOFXTAL_1KCK_14CK_4MS", _LOFXTAL % "4 ms"),
                                   0x16: ("EXTLOFXTAL_1KCK_14CK_64MS", _LOFXTAL % "64 ms")}}
                 for d in ("ATtiny25", "ATtiny45", "ATtiny85")}
SETTING_NOTES = {d: "SUT_CKSEL 0x06 and 0x16 start 4 ms and 64 ms after reset (2586N Table 6-10); the "
                    "device file says 0 ms and 4 ms, in their names and captions"
                 for d in ("ATtiny25", "ATtiny45", "ATtiny85")}

# A row whose fields follow another device file than its own, and why: {chip: (device, note)}.
# AT90PWM216 and AT90PWM316 share one signature, so one row and one set of settings serves both;
# the AT90PWM316's file lists the 11 PLL clock settings that the AT90PWM216's leaves out.
FIELD_DEVICES = {"AT90PWM216": ("AT90PWM316", "fuse fields from AT90PWM316.atdf, whose clock settings add "
                                              "11 PLL ones that AT90PWM216.atdf leaves out; both chips answer "
                                              "with one signature, 1E 94 83")}
# Rows whose file is not in the later packs: {device: note}.
OLDER_PACKS = {"AT90PWM3": "fuse fields from AT90PWM3.atdf of an older device pack (public copy: "
                           "pdshelley/HALGEN), signature 1E 93 81 and factory values as the row's"}


def words(text):
    return re.sub(r"\s+", " ", text or "").strip()


def c_str(s):
    return '"%s"' % s.replace("\\", "\\\\").replace('"', '\\"')


def external(field, name, caption):
    if field not in CLOCK_FIELDS:
        return False
    head = name.split("_")[0]
    if head in EXTERNAL_SOURCES:
        return True
    if head in INTERNAL_SOURCES:
        return False
    if head in POWER_RISE:
        return caption.startswith(("Ext", "External"))
    raise SystemExit("clock setting %s of %s: internal or external? (add its source to the lists)"
                     % (name, field))


def start_up_agrees(name, caption):
    """A setting's name and caption give the same start-up delay where both give one
    ("..._4MS1" and "+ 4.1 ms")."""
    n = re.search(r"_(\d+)MS(\d*)(?:_|$)", name)
    c = re.search(r"\+ ([\d.]+) ms", caption)
    if not n or not c:
        return True
    return n.group(1) + ("." + n.group(2) if n.group(2) else "") == c.group(1)


def chips_and_devices(atdf):
    chips = [(n, n if n in atdf else None) for n in FIRST_CHIPS]
    for sheet in partdata.DATASHEETS:
        for name, aliases, _family, _package, fixes in sheet["rows"]:
            device = FIELD_DEVICES[name][0] if name in FIELD_DEVICES else None
            chips.append((name, device or partdata.device_of(name, aliases, fixes, atdf)))
    return chips


def note_of(chip, device):
    """What --describe says of the fields' sources where they are not simply the chip's own file."""
    notes = [FIELD_DEVICES.get(chip, (None, None))[1], OLDER_PACKS.get(device), SETTING_NOTES.get(device)]
    notes = [n for n in notes if n]
    return "; ".join(notes) if notes else None


def fields_of(dev, device):
    """([(name, caption, byte, mask, [(value, external, name, caption)])], fuse byte count); byte
    in FuseLockBytes order: the fuse registers by offset (low, high, extended), then the lock."""
    out = []
    for bf in dev["bitfields"]:
        mask = bf["mask"]
        shift = (mask & -mask).bit_length() - 1
        field = bf["name"]
        settings = []
        for value, name, caption in bf["settings"]:
            name, caption = SETTING_FIXES.get(device, {}).get(field, {}).get(value, (name, caption))
            if not start_up_agrees(name, caption):
                raise SystemExit("%s: %s=0x%02X: name %s and caption '%s' differ (add a setting fix)"
                                 % (device, field, value, name, caption))
            if (value << shift) & ~mask & 0xFF:
                raise SystemExit("%s: %s=0x%02X outside mask 0x%02X" % (device, field, value, mask))
            settings.append((value, external(field, name, caption), name, caption))
        for value, (name, _caption) in SETTING_FIXES.get(device, {}).get(field, {}).items():
            if sum(n == name for _v, _e, n, _c in settings) != 1:
                raise SystemExit("%s: %s=0x%02X's new name %s is another setting's" % (device, field, value, name))
        out.append((field, bf["caption"], bf["byte"], mask, tuple(settings)))
    return out, len(dev["fuses"])


def emit(chips):
    out = []
    w = out.append
    w("// Generated by tools/partdata/fusefields.py from the device files' extract (atdf-facts.txt).")
    w("// Do not edit: change the script and run it again.")
    w('#include "chips/FuseFields.h"')
    w("")
    w("#include <iterator>")
    w("")
    w("namespace quillet {")
    w("namespace {")
    w("")
    w("// clang-format off")
    setting_ids, field_ids, chip_rows = {}, {}, []
    for chip, device, (fields, fuse_bytes) in chips:
        for f in fields:
            if f[4] and f[4] not in setting_ids:
                setting_ids[f[4]] = len(setting_ids)
                w("constexpr FuseSetting kS%d[] = {" % setting_ids[f[4]])
                for value, ext, name, caption in f[4]:
                    w("  {0x%02X, %s, %s, %s}," % (value, "true" if ext else "false", c_str(name), c_str(caption)))
                w("};")
        key = tuple(fields)
        if key not in field_ids:
            field_ids[key] = len(field_ids)
            w("constexpr FuseField kF%d[] = {" % field_ids[key])
            for name, caption, byte, mask, settings in fields:
                ref = ("kS%d, %d" % (setting_ids[settings], len(settings))) if settings else "nullptr, 0"
                w("  {%s, %s, %d, 0x%02X, %s}," % (c_str(name), c_str(caption), byte, mask, ref))
            w("};")
        note = note_of(chip, device)
        chip_rows.append("  {%s, %s, %d, kF%d, %d, %s}," % (c_str(chip), c_str(device + ".atdf"), fuse_bytes,
                                                           field_ids[key], len(fields),
                                                           c_str(note) if note else "nullptr"))
    w("")
    w("constexpr ChipFuseFields kChips[] = {")
    out.extend(chip_rows)
    w("};")
    w("// clang-format on")
    w("")
    w("}  // namespace")
    w("")
    w("const ChipFuseFields* ChipFuseFieldTable() { return kChips; }")
    w("size_t ChipFuseFieldCount() { return std::size(kChips); }")
    w("")
    w("}  // namespace quillet")
    return "\n".join(out) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--facts", default=partdata.ATDF_FACTS, help="the device files' extract (atdf.py)")
    ap.add_argument("--out", default=os.path.join(HERE, "..", "..", "chips", "generated", "FuseFields.cpp"))
    args = ap.parse_args()
    atdf = partdata.read_atdf(args.facts)
    chips, missing = [], []
    for chip, device in chips_and_devices(atdf):
        if device:
            chips.append((chip, device, fields_of(atdf[device], device)))
        else:
            missing.append(chip)
    with open(args.out, "w") as f:
        f.write(emit(chips))
    print("%d chips written to %s; no device file for %s" % (len(chips), os.path.normpath(args.out),
                                                            ", ".join(missing)))


if __name__ == "__main__":
    main()
