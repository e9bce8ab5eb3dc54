#!/usr/bin/env python3
"""Extracts the facts Quillet's chip table uses from Microchip's ATDF device files.

Writes tools/partdata/atdf-facts.txt: one block per device named in partdata.py's table, one fact
per line, so that the table's generator and the tests read the device files' values without a
network or the packs themselves. The packs are public: the repositories epccs/ATmega_DFP and
dwtk/devices hold their atdf/ folders (the latter has the ATtiny and AT90 files as well); the
AT90PWM3's file, left out of the later packs, is in an older pack's copy, pdshelley/HALGEN's atdf/.
Give the folders in that order (the first file of a name wins).

Usage: tools/partdata/atdf.py ATDF_DIR [ATDF_DIR...] [--out tools/partdata/atdf-facts.txt]

Format (values as the device file gives them, masks and factory values in hex):
  device ATmega164P
  signature 1E 94 0A
  flash 16384 128            size and page in bytes
  eeprom 512 4
  calibration 1              bytes of the osccal address space
  fuse LOW 0 62 CKDIV8=80 CKOUT=40 SUT_CKSEL=3F       register, offset, initval, bit fields
  lock FF LB=03 BLB0=0C BLB1=30
  isp erase=45 flash=10 eeprom=20                     ISP_INTERFACE delays in ms
  spi MOSI=PB5 MISO=PB6 SCK=PB7 PDI=PE0 PDO=PE1       pads of the serial signals it names
  package PDIP40 PDIP40                               package, pinout
  reset RESET                                         its pad (or the port pin RSTDISBL frees)
  pinout PDIP40 6=PB5 7=PB6 8=PB7 9=RESET 10=VCC ...  position=pad, programming and supply pins
  supply 1.8 5.5                                      VCC range in volts over its variants
  bitfield 1 BODLEVEL 07 Brown-out Detector trigger level   byte (fuses by offset, then the
  setting 07 DISABLED Brown-out detection disabled          lock), field, mask, caption; the
                                                            settings of the field above it
"""
import argparse
import os
import re
import sys
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


SUPPLY = re.compile(r"A?U?(VCC|GND)\w*|[AD]?E?V(DD|SS)\w*")


def hx(value):
    return "%02X" % (int(value, 0) & 0xFF)


# The catalogue's first chips and their other names: only their pinouts are read, by the test
# that checks the packages of chips/Catalogue.cpp against them.
FIRST_CHIPS = ["AT90S1200", "AT90S2313", "AT90S2323", "AT90S2333", "AT90S2343", "AT90S4414", "AT90S4433",
               "AT90S4434", "AT90S8515", "AT90S8535", "AT90CAN32", "AT90CAN64", "AT90CAN128", "ATtiny12",
               "ATtiny13", "ATtiny13A", "ATtiny15", "ATtiny22", "ATtiny2313", "ATtiny2313A", "ATtiny25",
               "ATtiny26", "ATtiny261", "ATtiny261A", "ATtiny45", "ATtiny461", "ATtiny461A", "ATtiny85",
               "ATtiny861", "ATtiny861A"]


def device_names():
    import partdata  # the table names the devices
    names = list(FIRST_CHIPS)
    for sheet in partdata.DATASHEETS:
        for name, aliases, _family, _package, fixes in sheet["rows"]:
            names += [fixes.get("device", name)] + list(aliases)
    return names


def segments(root, kind):
    return [s for s in root.iter("memory-segment") if s.get("type") == kind]


def words(text):
    return re.sub(r"\s+", " ", text or "").strip()


def field_lines(root):
    """The fuse and lock fields in words, for fusefields.py: each bit field of the fuse registers
    by offset, then of the first lock register (its byte counted in that order), and the settings
    of its value group."""
    groups, registers = {}, {"FUSE": [], "LOCKBIT": []}
    for module in root.iter("module"):
        if module.get("name") not in registers:
            continue
        for vg in module.findall("value-group"):
            groups[vg.get("name")] = vg
        for rg in module.findall("register-group"):
            registers[module.get("name")] += rg.findall("register")
    regs = sorted(registers["FUSE"], key=lambda r: int(r.get("offset"), 0)) + registers["LOCKBIT"][:1]
    out = []
    for byte, reg in enumerate(regs):
        for bf in reg.findall("bitfield"):
            out.append(("bitfield %d %s %s %s" % (byte, bf.get("name"), hx(bf.get("mask")),
                                                  words(bf.get("caption")))).rstrip())
            if bf.get("values"):
                for v in groups[bf.get("values")].findall("value"):
                    out.append(("setting %s %s %s" % (hx(v.get("value")), v.get("name"),
                                                      words(v.get("caption")))).rstrip())
    return out


def extract(path):
    root = ET.parse(path).getroot()
    dev = root.find("devices/device")
    out = ["device " + dev.get("name")]
    props = {}
    for group in root.iter("property-group"):
        if group.get("name") in ("SIGNATURES", "ISP_INTERFACE"):
            for p in group.iter("property"):
                props[p.get("name")] = p.get("value")
    out.append("signature " + " ".join(hx(props["SIGNATURE%d" % i]) for i in range(3)))
    flash = max(segments(root, "flash"), key=lambda s: int(s.get("size"), 0))
    out.append("flash %d %d" % (int(flash.get("size"), 0), int(flash.get("pagesize", "0"), 0)))
    for s in segments(root, "eeprom"):
        out.append("eeprom %d %d" % (int(s.get("size"), 0), int(s.get("pagesize", "0"), 0)))
    cal = segments(root, "osccal")
    if cal:  # some files leave the calibration bytes out
        out.append("calibration %d" % int(cal[0].get("size"), 0))
    for module in root.iter("module"):
        if module.get("name") not in ("FUSE", "LOCKBIT") or module.find("register-group") is None:
            continue
        for group in module.findall("register-group"):
            if group.find("register") is None:
                continue
            for reg in sorted(group.findall("register"), key=lambda r: int(r.get("offset"), 0)):
                fields = " ".join("%s=%s" % (b.get("name"), hx(b.get("mask"))) for b in reg.findall("bitfield"))
                initval = hx(reg.get("initval", "0xFF"))
                if module.get("name") == "FUSE":
                    out.append("fuse %s %d %s %s" % (reg.get("name"), int(reg.get("offset"), 0), initval, fields))
                else:
                    out.append("lock %s %s" % (initval, fields))
    out += field_lines(root)
    isp = [("erase", "IspChipErase_eraseDelay"), ("flash", "IspProgramFlash_delay"),
           ("eeprom", "IspProgramEeprom_delay")]
    out.append("isp " + " ".join("%s=%s" % (k, props[p]) for k, p in isp if p in props))
    spi = {}
    for sig in root.iter("signal"):
        group, pad = sig.get("group"), sig.get("pad")
        if group in ("MOSI", "MISO", "SCK", "PDI", "PDO", "MOSI_A", "MISO_A", "SCK_A") and group not in spi:
            if sig.get("function", "default") == "default" or group.endswith("_A"):
                spi[group] = pad
    if spi:
        out.append("spi " + " ".join("%s=%s" % kv for kv in sorted(spi.items())))
    # The supply range over the device's variants, where the file gives one.
    vcc = [(float(v.get("vccmin")), float(v.get("vccmax"))) for v in root.iter("variant")
           if v.get("vccmin") and v.get("vccmax")]
    if vcc:
        out.append("supply %g %g" % (min(v[0] for v in vcc), max(v[1] for v in vcc)))
    seen = set()
    for v in root.iter("variant"):
        key = (v.get("package", ""), v.get("pinout", ""))
        if key[0] and key not in seen:
            seen.add(key)
            out.append("package %s %s" % (key[0], key[1] or "-"))
    # The reset pin where it has a pad of its own name (the port pin named in RSTDISBL's
    # caption is not to be trusted: several files copy the ATmega328P's "PC6").
    reset = "RESET" if any(p.get("pad") == "RESET" for p in root.iter("pin")) else None
    if reset:
        out.append("reset " + reset)
    # Only the pins a programming header touches: serial signals, reset and supply.
    keep = set(spi.values()) | {reset}
    for pinout in root.iter("pinout"):
        pins = " ".join("%s=%s" % (p.get("position"), p.get("pad")) for p in pinout.iter("pin")
                        if p.get("pad") in keep or SUPPLY.fullmatch(p.get("pad", "")))
        out.append("pinout %s %s" % (pinout.get("name"), pins))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("dirs", nargs="+", help="atdf folders, first match wins")
    ap.add_argument("--out", default=os.path.join(HERE, "atdf-facts.txt"))
    args = ap.parse_args()
    lines = ["# Extracted by tools/partdata/atdf.py from the ATDF device files of Microchip's",
             "# device family packs (public copies: epccs/ATmega_DFP, dwtk/devices, pdshelley/HALGEN). Do not edit."]
    missing = []
    for name in sorted(set(device_names())):
        path = next((os.path.join(d, name + ".atdf") for d in args.dirs
                     if os.path.isfile(os.path.join(d, name + ".atdf"))), None)
        if not path:
            missing.append(name)
            continue
        lines += extract(path)
    lines.append("# no device file: " + " ".join(missing))
    with open(args.out, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("%s written; no device file for %s" % (os.path.normpath(args.out), ", ".join(missing) or "none"))


if __name__ == "__main__":
    main()
