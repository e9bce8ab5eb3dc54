#!/usr/bin/env python3
"""Generates chips/generated/PartTable.cpp: one row per AVR that programs over the SPI serial instructions.

Two sources:
  * avr-libc's io headers (Debian package avr-libc): signature, Flash and EEPROM sizes and page
    sizes, fuse bit names and factory values, lock bits (avrlibc.py reads them);
  * the table below, one entry per datasheet, for what only the datasheet gives: the minimum
    waits of the serial programming chapter, EEPROM page mode, calibration bytes, package pins,
    and the few places where the datasheet overrules the header (each with its reason).
Where a device file exists (its extract, atdf-facts.txt), it overrules the header's values, and
its pinout of the row's package gives every supply pin (AVCC, AGND, UVCC, UGND as well).

Usage: tools/partdata/partdata.py [--include DIR] [--out chips/generated/PartTable.cpp]
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import avrdude  # noqa: E402
import avrlibc  # noqa: E402
from atdf import SUPPLY as SUPPLY_PAD  # noqa: E402

ATDF_FACTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "atdf-facts.txt")

# Waits in microseconds: (tWD_FLASH, tWD_EEPROM, tWD_ERASE, tWD_FUSE).
# Where a datasheet's table was not found, the family's longest found value stands in:
MEGA_LONGEST = (5000, 10000, 10500, 4500)   # ATmega128A 8151H (5/10/10/4.5), ATmega16M1 8209F (erase 10.5)
RADIO_LONGEST = (4500, 13000, 18500, 4500)  # ATmega2564/1284/644RFR2 42073A Table 31-17
TINY_LONGEST = (4500, 4000, 9000, 4500)     # ATtiny24A/44A/84A 8183F Table 19-11, ATtiny43U 8048C Table 19-15

# Packages: (name, pin count, MOSI, MISO, SCK, RESET, VCC pins, GND pins); 0: pin not found.
# VCC/GND are the pins the pinout names VCC and GND. Where the device file has the package's
# pinout, the row's supply pins are all its supply pads instead (AVCC, AGND, UVCC, UGND too),
# and these must be among them.
PDIP28_MEGA = ("PDIP28", 28, 17, 18, 19, 1, [7], [8, 22])
PDIP40_MEGA16 = ("PDIP40", 40, 6, 7, 8, 9, [10], [11, 31])
PDIP40_MEGA8515 = ("PDIP40", 40, 6, 7, 8, 9, [40], [20])
TQFP64_PE = ("TQFP64", 64, 2, 3, 11, 20, [21, 52], [22, 53, 63])     # PDI=PE0, PDO=PE1, SCK=PB1
TQFP64_PB = ("TQFP64", 64, 12, 13, 11, 20, [21, 52], [22, 53, 63])    # PB2, PB3, PB1
# 2549Q pinout: pin 99, beside AREF and AVCC, is a GND too
TQFP100_MEGA2560 = ("TQFP100", 100, 21, 22, 20, 30, [10, 31, 61, 80], [11, 32, 62, 81, 99])
# ATmega3250/3290/6450/6490 TQFP100: MOSI=PB2, MISO=PB3, SCK=PB1, RESET=PG5; pin numbers: 2570N and
# 2552K pinouts (as in KiCad's symbols ATmega3250-16A, ATmega3290-16A, ATmega6450A-A, ATmega6490A-A)
TQFP100_LCD = ("TQFP100", 100, 21, 22, 20, 30, [10, 31, 80], [11, 32, 81])
TQFP32_PB = ("TQFP32", 32, 15, 16, 17, 29, [4], [5, 21])
# 8272E pinout: pin 28, between AVCC and AREF, is a GND too
TQFP44_MEGA324 = ("TQFP44", 44, 1, 2, 3, 4, [5, 17, 38], [6, 18, 28, 39])
# The PB part turns the 324PA's supply pins 17/18/38/39 into PE2/PE3/PE5/PE6; DS40001908's
# pinout as in KiCad's symbol ATmega324PB-A (its text was not found): VCC 5, GND 6 and 28
TQFP44_MEGA324PB = ("TQFP44", 44, 1, 2, 3, 4, [5], [6, 28])
TQFP32_M1 = ("TQFP32", 32, 2, 1, 12, 31, [4], [5])                    # MOSI_A=PD3, MISO_A=PD2, SCK_A=PD4
TQFP32_USB = ("TQFP32", 32, 16, 17, 15, 24, [4], [3])                 # PDI=PB2, PDO=PB3, SCK=PB1
TQFP44_U4 = ("TQFP44", 44, 10, 11, 9, 13, [14, 34], [15, 23, 35, 43])
# AT90PWM SO24: MOSI_A=PD3 (5), MISO_A=PD2 (4), SCK_A=PD4 (12), RESET=PE0 (2); the family's SO24
# pinout as in KiCad's symbol AT90PWM1-16S (datasheet 4378)
SO24_PWM = ("SO24", 24, 5, 4, 12, 2, [6], [7])
PDIP14_TINY = ("PDIP14", 14, 7, 8, 9, 4, [1], [14])
SOIC14_TINY = ("SOIC14", 14, 7, 8, 9, 4, [1], [14])
PDIP20_TINY = ("PDIP20", 20, 17, 18, 19, 1, [20], [10])
# Where a datasheet overrules the device file or a kin datasheet's wait.
ERASE_48P = {"times": (4500, 3600, 10500, 4500), "times_src": "DS40002011A Table 32-17 (tWD_ERASE 10.5 ms)"}
EEPROM_164P = {"times": (4500, 9000, 9000, 4500), "times_src": "7674F Table 25-16 (tWD_EEPROM 9.0 ms)"}
EEPROM_644 = {"times": (4500, 9000, 9000, 4500), "times_src": "2593O Table 25-16 (tWD_EEPROM 9.0 ms)"}
EXT_U4 = {"factory": [None, None, 0xF3],
          "why": "factory extended fuse 0xF3 (HWBE programmed), 7766J Table 28-3; the device file has 0xFB"}
# The ATmega165 (datasheet 2573, whose signature table was not found) shares the ATmega165P's
# 1E 94 07: 8285E Table 27-6 gives the ATmega165PA 07 and the later ATmega165A 10 under one JTAG part
# number, 9407. avrdude's m165 has the 165A's 10 and avr-libc's iom165.h the ATmega169's 05; -p m165
# names this chip all the same.
M165 = {"part_ids": ["m165"],
        "why": "signature 1E 94 07 as the ATmega165P/PA (8285E Table 27-6: 165PA 07, 165A 10, both JTAG part "
               "number 9407); avrdude's m165 has the ATmega165A's 1E 94 10, avr-libc the ATmega169's 1E 94 05"}
# The EEPROM page mode of chips whose datasheet table was not at hand: avrdude's part file loads
# their EEPROM by Load EEPROM Memory Page (C1) in pages of the header's E2PAGESIZE.
PAGE_AVRDUDE = "avrdude.conf (Load EEPROM Memory Page, C1, and its page size)"
# A datasheet's typical busy times where it gives them apart from its longest: the simulated
# chips are busy this long, so that waiting for the chip to be ready shows its gain.
TYPICAL_48P = (3700, 3600, 9000, 4500)  # Flash write by SPM 3.7 to 4.5 ms, DS40002061A
UNKNOWN = lambda name, pins: (name, pins, 0, 0, 0, 0, [], [])
# The radio parts (../shared evidence: Atmel's summary datasheets 8266C and 42073A, Figure 1-1):
# MOSI=PB2 (PDI), MISO=PB3 (PDO), SCK=PB1, RESET=RSTN; VCC: EVDD and the DEVDD pins, GND: DVSS
# (AVSS and the RF grounds in the note, for want of room)
QFN64_RADIO = ("QFN64", 64, 38, 39, 37, 12, [59, 23, 34, 44, 54], [20, 24, 35, 45, 55])
QFN48_RADIO = ("QFN48", 48, 28, 29, 27, 10, [44, 16], [14, 43, 5, 8])
RADIO_NOTE = "AVDD/DVDD regulated inside: not to VCC. TST to GND"
# ATtiny1634 SOIC20: MOSI=PB1, MISO=PB2, SCK=PC1, RESET=PC3; ATtiny43U SOIC20: PB4, PB5, PB6, PA7;
# ATtiny87/167 SOIC20: PA4, PA2, PA5, PB7 (pin numbers: KiCad's symbols, ISP markings of the
# ATTinyCore pinouts; no datasheet figure was at hand)
SOIC20_T1634 = ("SOIC20", 20, 20, 19, 16, 14, [11], [10])
SOIC20_T43U = ("SOIC20", 20, 5, 6, 7, 20, [9], [10])
SOIC20_T87 = ("SOIC20", 20, 7, 3, 8, 11, [15], [16])
KICAD_NOTE = "Pins from a KiCad symbol: no datasheet seen"  # the picture's font has no comma
# ATtiny828 TQFP32: its SPI module's MOSI=PD0, MISO=PD1, SCK=PD3 and RESET=PD2 (KiCad's symbol)
TQFP32_T828 = ("TQFP32", 32, 27, 28, 30, 29, [4], [5, 21])

# One entry per datasheet. rows: (name, aliases, family, package, fixes); fixes overrule the
# header field by field: {"signature"|"lock"|"factory"|"fuses"|...: value}, with "why".
DATASHEETS = [
    dict(doc="ATmega8/L datasheet 2486AA", times=(4500, 9000, 9000, 4500), times_src="Table 97",
         eeprom_page=False, page_src="instruction set has Write EEPROM Memory (C0) only",
         calibration=4, rows=[("ATmega8", ["ATmega8A"], "ATmega", PDIP28_MEGA, {})]),
    dict(doc="ATmega16A datasheet 8154", times=(4500, 9000, 9000, 4500),
         times_src="the ATmega16's datasheet 2466T Table 115 (8154's own table not found)",
         eeprom_page=False, page_src=None, calibration=4,
         rows=[("ATmega16", ["ATmega16A"], "ATmega", PDIP40_MEGA16, {})]),
    dict(doc="ATmega32A datasheet 8155", times=(4500, 9000, 9000, 4500), times_src="8155I Table 29-15",
         eeprom_page=False, page_src="8155I Table 29-16 has Write EEPROM Memory (C0) only", calibration=4,
         rows=[("ATmega32", ["ATmega32A"], "ATmega", PDIP40_MEGA16, {})]),
    dict(doc="ATmega64 datasheet 2490R / ATmega64A datasheet 8160E", times=(4500, 9000, 9000, 4500),
         times_src="8160C Table 27-14", eeprom_page=False,
         page_src="serial mode writes the EEPROM byte by byte (Write EEPROM Memory, C0)", calibration=4,
         rows=[("ATmega64", ["ATmega64A"], "ATmega", TQFP64_PE, {})],
         note="2490R Table 128 gives 4.5/9.0/9.0/4.5 ms; the ATmega64A table was not found, so the "
              "longer ATmega128A values stand"),
    dict(doc="ATmega128A datasheet 8151H", times=(5000, 10000, 10000, 4500), times_src="Table 26-14",
         eeprom_page=False, page_src="serial mode writes the EEPROM byte by byte (Write EEPROM Memory, C0)",
         calibration=4, rows=[("ATmega128", ["ATmega128A"], "ATmega", TQFP64_PE, {})]),
    dict(doc="ATmega48A/PA/88A/PA/168A/PA/328/P datasheet DS40002061A", times=(4500, 3600, 9000, 4500),
         typical=TYPICAL_48P,
         times_src="Table 28-18", eeprom_page=True, page_src="Table 28-19 (C1/C2)", calibration=1,
         rows=[
             ("ATmega48", ["ATmega48A"], "ATmega", PDIP28_MEGA, {}),
             ("ATmega48P", ["ATmega48PA"], "ATmega", PDIP28_MEGA, ERASE_48P),
             ("ATmega88", ["ATmega88A"], "ATmega", PDIP28_MEGA, {}),
             ("ATmega88P", ["ATmega88PA"], "ATmega", PDIP28_MEGA, ERASE_48P),
             ("ATmega168", ["ATmega168A"], "ATmega", PDIP28_MEGA, {}),
             ("ATmega168P", ["ATmega168PA"], "ATmega", PDIP28_MEGA, ERASE_48P),
             ("ATmega328", [], "ATmega", PDIP28_MEGA, {}),
             ("ATmega328P", [], "ATmega", PDIP28_MEGA, {}),
         ]),
    dict(doc="ATmega48PB/88PB/168PB datasheet DS40001909", times=(4500, 3600, 10500, 4500), times_src=None,
         eeprom_page=True, page_src="33.8.3 (C1)", calibration=1,
         rows=[("ATmega48PB", [], "ATmega", TQFP32_PB, {}), ("ATmega88PB", [], "ATmega", TQFP32_PB, {}),
               ("ATmega168PB", [], "ATmega", TQFP32_PB, {})],
         note="waits: the ATmega48A..328P values with the ATmega16M1's longer erase; EEPROM page mode "
              "as on the ATmega48A..328P (not checked)"),
    dict(doc="ATmega328PB datasheet DS40001906", times=(4500, 3600, 10500, 4500), times_src=None,
         eeprom_page=True, page_src="32.9.3 (C1/C2)", calibration=1,
         rows=[("ATmega328PB", [], "ATmega", TQFP32_PB, {"header": "ATmega328P"})],
         note="waits as the ATmega48PB/88PB/168PB"),
    dict(doc="ATmega164A/PA/324A/PA/644A/PA/1284/P datasheet 8272E", times=(4500, 3600, 9000, 4500),
         times_src="Table 27-16 (tWD_FUSE not given: 4.5 ms of the family)", eeprom_page=True,
         page_src="Table 27-17 (C1/C2)", calibration=1,
         rows=[
             ("ATmega164A", [], "ATmega", PDIP40_MEGA16, {}),
             ("ATmega164P", ["ATmega164PA"], "ATmega", PDIP40_MEGA16, EEPROM_164P),
             ("ATmega324A", [], "ATmega", PDIP40_MEGA16, {}),
             ("ATmega324P", [], "ATmega", PDIP40_MEGA16, EEPROM_164P),
             ("ATmega324PA", [], "ATmega", PDIP40_MEGA16, {}),
             ("ATmega644", ["ATmega644A"], "ATmega", PDIP40_MEGA16, EEPROM_644),
             ("ATmega644P", ["ATmega644PA"], "ATmega", PDIP40_MEGA16, EEPROM_164P),
             ("ATmega1284", [], "ATmega", PDIP40_MEGA16, {}),
             ("ATmega1284P", [], "ATmega", PDIP40_MEGA16, {}),
         ]),
    dict(doc="ATmega324PB datasheet DS40001908", times=(4500, 3600, 10500, 4500), times_src=None,
         eeprom_page=True, page_src=None, calibration=1,
         rows=[("ATmega324PB", [], "ATmega", TQFP44_MEGA324PB, {"header": "ATmega324PA"})],
         note="waits as the ATmega48PB family; pins of the ATmega324PA TQFP44, not checked"),
    dict(doc="ATmega162 datasheet 2513", times=MEGA_LONGEST, times_src=None, eeprom_page=True,
         page_src="2513G Table 111 (C1/C2)", calibration=1, rows=[("ATmega162", [], "ATmega", PDIP40_MEGA8515, {})]),
    dict(doc="ATmega169P datasheet 8018 / ATmega165A/PA..6490A/P datasheets 8285, 8284",
         times=(4500, 9000, 9000, 4500), times_src="8018 Table 26-14 (the family's other tables not found)",
         eeprom_page=True, page_src="8018 serial programming algorithm 5B (page access)", calibration=1,
         rows=[
             # No ATmega165 or ATmega169 device file: these rows follow their P parts' files.
             ("ATmega165", ["ATmega165P", "ATmega165PA"], "ATmega", TQFP64_PB, M165),
             ("ATmega165A", [], "ATmega", TQFP64_PB, {}),
             ("ATmega169", ["ATmega169P", "ATmega169PA"], "ATmega", TQFP64_PB, {}),
             ("ATmega169A", [], "ATmega", TQFP64_PB, {}),
             ("ATmega325", ["ATmega325A"], "ATmega", TQFP64_PB, {}),
             ("ATmega325P", ["ATmega325PA"], "ATmega", TQFP64_PB, {}),
             ("ATmega329", ["ATmega329A"], "ATmega", TQFP64_PB, {}),
             ("ATmega329P", ["ATmega329PA"], "ATmega", TQFP64_PB, {}),
             ("ATmega645", ["ATmega645A"], "ATmega", TQFP64_PB, {}),
             ("ATmega645P", [], "ATmega", TQFP64_PB, {}),
             ("ATmega649", ["ATmega649A"], "ATmega", TQFP64_PB, {}),
             ("ATmega649P", [], "ATmega", TQFP64_PB, {}),
             ("ATmega3250", ["ATmega3250A"], "ATmega", TQFP100_LCD, {}),  # pins: 2570N Table 27-13
             ("ATmega3250P", ["ATmega3250PA"], "ATmega", TQFP100_LCD, {}),  # pins: as the 3250, see note
             ("ATmega3290", ["ATmega3290A"], "ATmega", TQFP100_LCD, {}),  # pins: 2552K Table 27-13
             ("ATmega3290P", ["ATmega3290PA"], "ATmega", TQFP100_LCD, {}),  # pins: 8021G Table 27-16
             ("ATmega6450", ["ATmega6450A"], "ATmega", TQFP100_LCD, {}),  # pins: 2570N Table 27-13
             ("ATmega6450P", [], "ATmega", TQFP100_LCD, {}),  # pins: as the 6450, see note
             ("ATmega6490", ["ATmega6490A"], "ATmega", TQFP100_LCD, {}),  # pins: 2552K Table 27-13
             ("ATmega6490P", [], "ATmega", TQFP100_LCD, {}),  # pins: 8284E Table 28-14
         ],
         note="TQFP100 serial pins PB2/PB3/PB1 from 2570N Table 27-13 (3250, 6450), 2552K Table 27-13 "
              "(3290, 6490), 8021G Table 27-16 (3290P) and 8284E Table 28-14 (6490P); pin numbers from the "
              "2570N/2552K pinouts as in KiCad's symbols. 8285's own table (3250P, 6450P) was not found: every "
              "other datasheet of the family gives PB2/PB3/PB1, and KiCad's ATmega3250PA-A and ATmega6450P-A "
              "(from 8285) have those port pins and RESET at the same numbers"),
    dict(doc="ATmega640/1280/1281/2560/2561 datasheet 2549Q", times=MEGA_LONGEST, times_src=None,
         eeprom_page=True, page_src="Table 30-17 (C1/C2)", calibration=1,
         rows=[("ATmega640", [], "ATmega", TQFP100_MEGA2560, {}),
               ("ATmega1280", [], "ATmega", TQFP100_MEGA2560, {}),
               ("ATmega1281", [], "ATmega", TQFP64_PE, {}),
               ("ATmega2560", [], "ATmega", TQFP100_MEGA2560, {}),
               ("ATmega2561", [], "ATmega", TQFP64_PE, {})],
         note="pins from Table 30-15 (PDI/PDO: PB2/PB3 on TQFP100, PE0/PE1 on TQFP64)"),
    dict(doc="ATmega8515 datasheet 2512G", times=(4500, 9000, 9000, 4500), times_src="Table 93",
         eeprom_page=False, page_src="Write EEPROM Memory (C0) only", calibration=4,
         rows=[("ATmega8515", [], "ATmega", PDIP40_MEGA8515, {})]),
    dict(doc="ATmega8535 datasheet 2502", times=MEGA_LONGEST, times_src=None, eeprom_page=False,
         page_src=None, calibration=4, rows=[("ATmega8535", [], "ATmega", PDIP40_MEGA16, {})]),
    dict(doc="ATmega16M1/32M1/64M1 datasheet 8209F", times=(4500, 3600, 10500, 4500),
         times_src="8209F Table 28-17, but tWD_FLASH 4.5 ms from 8209E (8209F gives 2.6 ms and no reason)", eeprom_page=True, page_src="Table 28-18 (C1/C2)", calibration=1,
         rows=[("ATmega16M1", [], "ATmega", TQFP32_M1, {}), ("ATmega32M1", [], "ATmega", TQFP32_M1, {}),
               ("ATmega64M1", [], "ATmega", TQFP32_M1, {})]),
    dict(doc="ATmega8U2/16U2/32U2 datasheet 7799D", times=MEGA_LONGEST, times_src=None,
         eeprom_page=True, page_src="Table 25-16 (C1/C2)", calibration=1,
         rows=[("ATmega8U2", [], "ATmega", TQFP32_USB, {}), ("ATmega16U2", [], "ATmega", TQFP32_USB, {}),
               ("ATmega32U2", [], "ATmega", TQFP32_USB, {})]),
    dict(doc="ATmega16U4/32U4 datasheet 7766J", times=MEGA_LONGEST, times_src=None, eeprom_page=True,
         page_src="7766F Table 28-16 (C1/C2)", calibration=1,
         rows=[("ATmega16U4", [], "ATmega", TQFP44_U4, EXT_U4), ("ATmega32U4", [], "ATmega", TQFP44_U4, EXT_U4)],
         note="serial programming through PDI/PDO (PB2/PB3), Table 28-14"),
    dict(doc="ATmega128RFA1 datasheet 8266A", times=RADIO_LONGEST, times_src=None, eeprom_page=True,
         page_src="serial instruction set (C2, Write EEPROM Memory Page)", calibration=1,
         rows=[("ATmega128RFA1", [], "ATmega", QFN64_RADIO, {"note": RADIO_NOTE})]),
    dict(doc="ATmega256RFR2/128RFR2/64RFR2 datasheet 8393", times=RADIO_LONGEST, times_src=None,
         eeprom_page=True, page_src=None, calibration=1,
         rows=[("ATmega64RFR2", [], "ATmega", QFN64_RADIO, {"note": RADIO_NOTE}),
               ("ATmega128RFR2", [], "ATmega", QFN64_RADIO, {"note": RADIO_NOTE}),
               ("ATmega256RFR2", [], "ATmega", QFN64_RADIO, {"note": RADIO_NOTE})],
         note="pins as the ATmega128RFA1 (the Pinoccio Scout's ISP header on an ATmega256RFR2)"),
    dict(doc="ATmega2564/1284/644RFR2 datasheet 42073A", times=(4500, 13000, 18500, 4500),
         times_src="Table 31-17", eeprom_page=True, page_src="Table 31-18 (C1/C2)", calibration=1,
         rows=[("ATmega644RFR2", [], "ATmega", QFN48_RADIO, {"note": RADIO_NOTE}),
               ("ATmega1284RFR2", [], "ATmega", QFN48_RADIO, {"note": RADIO_NOTE}),
               ("ATmega2564RFR2", [], "ATmega", QFN48_RADIO, {"note": RADIO_NOTE})]),
    dict(doc="AT90USB82/162 datasheet 7707", times=MEGA_LONGEST, times_src=None, eeprom_page=True,
         page_src=PAGE_AVRDUDE, calibration=1,
         rows=[("AT90USB82", [], "AT90USB / AT90PWM", TQFP32_USB, {}),
               ("AT90USB162", [], "AT90USB / AT90PWM", TQFP32_USB, {})]),
    dict(doc="AT90USB646/647/1286/1287 datasheet 7593", times=MEGA_LONGEST, times_src=None,
         eeprom_page=True, page_src=PAGE_AVRDUDE, calibration=1,
         rows=[("AT90USB646", ["AT90USB647"], "AT90USB / AT90PWM", TQFP64_PB, {}),
               ("AT90USB1286", ["AT90USB1287"], "AT90USB / AT90PWM", TQFP64_PB, {})],
         note="PDI/PDO on PB2/PB3 for the 64-pin parts, Table 29-14"),
    dict(doc="AT90PWM2/3/2B/3B datasheet 4317J", times=MEGA_LONGEST, times_src=None, eeprom_page=True,
         page_src="Table 25-16 of 4317I and 4317K (C1/C2)", calibration=1,
         rows=[("AT90PWM2", ["AT90PWM3"], "AT90USB / AT90PWM", SO24_PWM,
                {"note": "AT90PWM3: SO32/QFN32 pins not shown"}),
               ("AT90PWM2B", ["AT90PWM3B"], "AT90USB / AT90PWM", SO24_PWM,
                {"note": "AT90PWM3B: SO32/QFN32 pins not shown"})],
         note="serial programming through MOSI_A/MISO_A/SCK_A = PD3/PD2/PD4 (Table 25-13); SO24 pin "
              "numbers of the PWM2/PWM2B from the family's pinout as KiCad's AT90PWM1-16S draws it (4317J's "
              "own figure was not found); the PWM3/PWM3B come in SO32/QFN32, whose numbers were not found"),
    dict(doc="AT90PWM216/316 datasheet 7710", times=MEGA_LONGEST, times_src=None, eeprom_page=True,
         page_src=PAGE_AVRDUDE, calibration=1,
         rows=[("AT90PWM216", ["AT90PWM316"], "AT90USB / AT90PWM", UNKNOWN("SO24", 24), {})],
         note="MOSI_A/MISO_A/SCK_A as the AT90PWM3B; pin numbers not found"),
    dict(doc="ATtiny24A/44A/84A datasheet 8183F", times=(4500, 4000, 9000, 4500), times_src="Table 19-11",
         eeprom_page=True, page_src="Table 19-12 (C1/C2)", calibration=1,
         rows=[("ATtiny24", ["ATtiny24A"], "ATtiny", PDIP14_TINY, {}),
               ("ATtiny44", ["ATtiny44A"], "ATtiny", PDIP14_TINY, {}),
               ("ATtiny84", ["ATtiny84A"], "ATtiny", PDIP14_TINY, {})],
         note="the ATtiny24/44/84 datasheet 8006K Table 19-11 gives the same waits"),
    dict(doc="ATtiny2313A/4313 datasheet 8246", times=TINY_LONGEST, times_src=None, eeprom_page=True,
         page_src="8246A Table 20-15 (C1/C2)", calibration=2, rows=[("ATtiny4313", [], "ATtiny", PDIP20_TINY, {})]),
    dict(doc="ATtiny43U datasheet 8048C", times=(4500, 4000, 9000, 4500), times_src="Table 19-15",
         eeprom_page=True, page_src="Table 19-16 (C1/C2)", calibration=1,
         rows=[("ATtiny43U", [], "ATtiny", SOIC20_T43U, {"note": KICAD_NOTE})],
         note="revision 8048B gave tWD_ERASE 4.0 ms; 8048C's 9.0 ms stands"),
    dict(doc="ATtiny48/88 datasheet 8008", times=TINY_LONGEST, times_src=None, eeprom_page=True,
         page_src="8008H Table 21-8 (C1) and step 5B (Write EEPROM Memory Page)", calibration=1,
         rows=[("ATtiny48", [], "ATtiny", PDIP28_MEGA, {}), ("ATtiny88", [], "ATtiny", PDIP28_MEGA, {})]),
    dict(doc="ATtiny87/167 datasheet 8265", times=(4500, 4000, 9000, 4500),
         times_src="7728G (the datasheet's earlier issue) Table 21-14, but tWD_ERASE 9.0 ms as the later "
                   "sheets of its kin (ATtiny24A 8183F, ATtiny43U 8048C) raised their 4.0 ms", eeprom_page=True,
         page_src="7728G Table 21-15 (C1/C2)", calibration=1,
         rows=[("ATtiny87", [], "ATtiny", SOIC20_T87, {"note": KICAD_NOTE}),
               ("ATtiny167", [], "ATtiny", SOIC20_T87, {"note": KICAD_NOTE})]),
    dict(doc="ATtiny441/841 datasheet 8495F", times=TINY_LONGEST, times_src=None, eeprom_page=True,
         page_src=PAGE_AVRDUDE, calibration=1,
         rows=[("ATtiny441", [], "ATtiny", SOIC14_TINY, {}), ("ATtiny841", [], "ATtiny", SOIC14_TINY, {})],
         note="pinout as the ATtiny24/44/84 (PA6/PA5/PA4, PB3 RESET), not checked"),
    dict(doc="ATtiny828 datasheet 8371A", times=TINY_LONGEST, times_src=None, eeprom_page=True,
         page_src="Table 101 (C1/C2)", calibration=1, rows=[("ATtiny828", ["ATtiny828R"], "ATtiny", TQFP32_T828,
                                                {"note": "Programming pins from its SPI module only"})],
         note="Table 100 (pin mapping) found but not its contents"),
    dict(doc="ATtiny1634 datasheet 8303", times=TINY_LONGEST, times_src=None, eeprom_page=True,
         page_src=PAGE_AVRDUDE, calibration=1,
         rows=[("ATtiny1634", ["ATtiny1634R"], "ATtiny", SOIC20_T1634, {"note": KICAD_NOTE})]),
]

# Names of chips already in the catalogue that share signature and programming with it.
EXISTING_ALIASES = [("ATtiny13", "ATtiny13A"), ("ATtiny2313", "ATtiny2313A"), ("ATtiny261", "ATtiny261A"),
                    ("ATtiny461", "ATtiny461A"), ("ATtiny861", "ATtiny861A")]


ROLE_ENUM = "R::"
MAX_SUPPLY_PINS = 12  # kMaxSupplyPins of chips/PartTable.h


def c_str(s):
    return '"%s"' % s if s is not None else "nullptr"


def read_atdf(path=ATDF_FACTS):
    """The device files' facts as atdf.py extracted them: {device name: {...}}."""
    devices, dev = {}, None
    for line in open(path):
        if line.startswith("#") or not line.strip():
            continue
        word, _, rest = line.rstrip("\n").partition(" ")
        f = rest.split()
        if word == "device":
            dev = devices.setdefault(rest, {"fuses": [], "packages": [], "pinouts": {}, "bitfields": []})
        elif word == "signature":
            dev["signature"] = [int(x, 16) for x in f]
        elif word in ("flash", "eeprom"):
            dev[word] = (int(f[0]), int(f[1]))
        elif word == "calibration":
            dev["calibration"] = int(f[0])
        elif word == "fuse":
            dev["fuses"].append({"register": f[0], "offset": int(f[1]), "factory": int(f[2], 16),
                                 "fields": [(k, int(v, 16)) for k, v in (x.split("=") for x in f[3:])]})
        elif word == "lock":
            dev["lock"] = {"factory": int(f[0], 16),
                           "fields": [(k, int(v, 16)) for k, v in (x.split("=") for x in f[1:])]}
        elif word in ("isp", "spi"):
            dev[word] = dict(x.split("=") for x in f)
        elif word == "bitfield":
            caption = rest.split(" ", 3)[3] if len(f) > 3 else ""
            dev["bitfields"].append({"byte": int(f[0]), "name": f[1], "mask": int(f[2], 16), "caption": caption,
                                     "settings": []})
        elif word == "setting":
            caption = rest.split(" ", 2)[2] if len(f) > 2 else ""
            dev["bitfields"][-1]["settings"].append((int(f[0], 16), f[1], caption))
        elif word == "supply":
            dev["supply"] = (float(f[0]), float(f[1]))
        elif word == "reset":
            dev["reset"] = f[0]
        elif word == "package":
            dev["packages"].append((f[0], f[1]))
        elif word == "pinout":
            dev["pinouts"][f[0]] = {int(k): v for k, v in (x.split("=") for x in f[1:]) if k.isdigit()}
    return devices


# Roles of fuse bits by the device file's field name: the warnings, refusals and the greyed SPIEN
# box go by these, whatever a datasheet or header calls the bit.
FIELD_ROLES = {"RSTDISBL": "ResetDisable", "DWEN": "DebugWire", "SPIEN": "SpiEnable", "CKDIV8": "ClockDivide",
               "WDTON": "WatchdogOn", "BOOTRST": "BootReset", "EESAVE": "EepromSave", "BODLEVEL": "BrownOutLevel"}
CLOCK_FIELDS = ("SUT_CKSEL", "CKSEL_SUT", "CKSEL", "PLLCK_SUT_CKSEL")


def bit_names(field, mask, header_bits):
    """Names of the bits of one device-file field, bit number -> name. A field of one bit keeps
    its name; a wider one (BODLEVEL, SUT_CKSEL) takes the header's names of its bits where they
    belong to it, else the field's name and the bit's index within it."""
    bits = [k for k in range(8) if mask >> k & 1]
    if len(bits) == 1:
        return {bits[0]: field}
    words = field.split("_")
    from_header = [header_bits[k] if header_bits else None for k in bits]
    if all(n and any(n.rstrip("0123456789") == w for w in words) for n in from_header):
        return dict(zip(bits, from_header))
    return {k: "%s%d" % (field, i) for i, k in enumerate(bits)}


def lock_names(field, mask):
    """LB -> LB1 LB2, BLB0 -> BLB01 BLB02: lock bits count from 1."""
    bits = [k for k in range(8) if mask >> k & 1]
    return {k: "%s%d" % (field, i + 1) for i, k in enumerate(bits)} if len(bits) > 1 else {bits[0]: field}


def role_of(field, name):
    if field in CLOCK_FIELDS:
        # Where the field's bits are not named apart, each may be a clock-source bit.
        return "ClockSelect" if name.startswith(("CKSEL", field)) else None
    return FIELD_ROLES.get(field)


def fuses_from_atdf(dev, header_fuses):
    fuses = []
    for i, reg in enumerate(sorted(dev["fuses"], key=lambda r: r["offset"])):
        header = header_fuses[i]["bits"] if i < len(header_fuses) else None
        names, roles = [None] * 8, [None] * 8
        for field, mask in reg["fields"]:
            for k, n in bit_names(field, mask, header).items():
                names[k], roles[k] = n, role_of(field, n)
        fuses.append({"bits": names, "roles": roles, "factory": reg["factory"]})
    return fuses


def roles_by_name(bits):
    """For rows without a device file: the roles their header's names imply."""
    roles = []
    for n in bits:
        field = "CKSEL" if n and n.startswith("CKSEL") else "BODLEVEL" if n and n.startswith("BODLEVEL") else n
        roles.append(role_of(field, n) if n else None)
    return roles


def device_of(name, aliases, fixes, atdf):
    """The device file a row follows: its own, else the first of its other names'."""
    for n in [fixes.get("device"), name] + list(aliases):
        if n and n in atdf:
            return n
    return None


def supply_pins(package, names, atdf):
    """Every supply pin of a row's package as (pin, pad), and the device file and pinout they come
    from: the supply pads of the first of the row's names whose device file has the package's
    pinout, else the table's VCC and GND."""
    name, _count, _mosi, _miso, _sck, _reset, vcc, gnd = package
    table = sorted([(p, "VCC") for p in vcc] + [(p, "GND") for p in gnd])
    for device in names:
        dev = atdf.get(device) if device else None
        pinout = next((po for pk, po in dev["packages"] if pk == name), None) if dev else None
        pads = dev["pinouts"].get(pinout) if pinout else None
        if pads:
            break
    else:
        return table, None
    supply = sorted((p, pad) for p, pad in pads.items() if SUPPLY_PAD.fullmatch(pad))
    wrong = [p for p in table if p not in supply]
    if wrong:
        raise SystemExit("%s.atdf, pinout %s: the table's supply pins %s are not its pads" % (device, pinout, wrong))
    return supply, "the %s pinout of %s.atdf" % (pinout, device)


def longest_waits(sheet_times, names, parts):
    """Each wait the longest of the datasheet's and avrdude's for any of the row's names, with
    where it came from."""
    times, srcs = list(sheet_times), ["datasheet"] * 4
    for n in names:
        w = avrdude.waits(parts, n)
        for i in range(4):
            if w and w[i] > times[i]:
                times[i], srcs[i] = w[i], "avrdude.conf"
    return tuple(times), srcs


def build_rows(include_dir, atdf, parts):
    rows = []
    for sheet in DATASHEETS:
        for name, aliases, family, package, fixes in sheet["rows"]:
            part = avrlibc.read_part(fixes.get("header", name), include_dir)
            device = device_of(name, aliases, fixes, atdf)
            if part is None and device is None:
                raise SystemExit("neither a device file nor an avr-libc header for %s" % name)
            header_fuses = part["fuses"] if part else []
            if device:
                dev = atdf[device]
                signature = dev["signature"]
                flash, flash_page = dev["flash"]
                eeprom, eeprom_page = dev["eeprom"]
                calibration = dev.get("calibration", sheet["calibration"])
                fuses = fuses_from_atdf(dev, header_fuses)
                lock = [None] * 8
                for field, mask in dev["lock"]["fields"]:
                    for k, n in lock_names(field, mask).items():
                        lock[k] = n
                lock_factory = dev["lock"]["factory"]
            else:
                signature = part["signature"]
                flash, flash_page = part["flashend"] + 1, part["spm_pagesize"]
                eeprom, eeprom_page = part["e2end"] + 1, part["e2pagesize"]
                calibration = sheet["calibration"]
                fuses = [dict(f, roles=roles_by_name(f["bits"])) for f in header_fuses]
                if len(fuses) != part["fuse_count"]:
                    raise SystemExit("%s: %d fuse bytes found, FUSE_MEMORY_SIZE %d"
                                     % (name, len(fuses), part["fuse_count"]))
                lock, lock_factory = part["lock"], 0xFF
            signature = fixes.get("signature", signature)
            if signature is None:
                raise SystemExit("%s: no signature in the sources and none in the table" % name)
            for i, fix in enumerate(fixes.get("fuses", [])):
                if fix:
                    bits, factory = fix
                    names = [bits.get(k) for k in range(8)]
                    fuses[i] = {"bits": names, "roles": roles_by_name(names), "factory": factory}
            for i, value in enumerate(fixes.get("factory", [])):
                if value is not None:
                    fuses[i]["factory"] = value
            for f in fuses:
                if f["factory"] is None:
                    raise SystemExit("%s: a fuse byte without factory value" % name)
                # Bits a byte does not have read as 1 (some device files give them as 0).
                f["factory"] |= 0xFF & ~sum(1 << k for k in range(8) if f["bits"][k])
            if "lock" in fixes:
                lock = (fixes["lock"] + [None] * 8)[:8]
            sheet_times = fixes.get("times", sheet["times"])
            times, time_srcs = longest_waits(sheet_times, [name] + list(aliases), parts)
            # What the simulated chip takes: the datasheet's own time, never above the wait.
            typical = tuple(min(a, b) for a, b in zip(fixes.get("typical", sheet.get("typical", sheet_times)), times))
            ready_poll = avrdude.ready_poll(parts, [name] + list(aliases))
            if sheet["eeprom_page"] and sheet["page_src"] == PAGE_AVRDUDE and \
                    avrdude.eeprom_page(parts, name) != eeprom_page:
                raise SystemExit("%s: EEPROM page %s, avrdude.conf %s" % (name, eeprom_page, avrdude.eeprom_page(parts, name)))
            supply, supply_src = supply_pins(package, [device, name] + list(aliases), atdf)
            # The highest supply the device file's variants give; the rows without a file
            # (AT90PWM2, ATmega165/169, ATtiny1634R/828R) take 5.5 V by their datasheets.
            vcc_max = atdf[device].get("supply", (0, 5.5))[1] if device else 5.5
            rows.append(dict(
                name=name, aliases=aliases,
                part_ids=avrdude.part_ids(parts, [name] + list(aliases), signature, fixes.get("part_ids", ())),
                family=family, signature=signature, device=device,
                flash=flash, flash_page=flash_page, eeprom=eeprom,
                eeprom_page=eeprom_page if sheet["eeprom_page"] else 0,
                calibration=calibration, fuses=fuses, lock=lock, lock_factory=lock_factory,
                times=times, typical=typical, ready_poll=bool(ready_poll), vcc_max_mv=int(round(vcc_max * 1000)), time_srcs=time_srcs, times_src=fixes.get("times_src", sheet["times_src"]),
                package=package, supply=supply, supply_src=supply_src, note=fixes.get("note"), sheet=sheet, why=fixes.get("why")))
    return rows


def check_aliases(rows, include_dir):
    """Every alias with a header must share its row's signature and memories."""
    for row in rows:
        for alias in row["aliases"]:
            part = avrlibc.read_part(alias, include_dir)
            if part is None:
                continue
            if (part["flashend"] + 1, part["e2end"] + 1) != (row["flash"], row["eeprom"]):
                raise SystemExit("%s and %s differ in memory sizes" % (row["name"], alias))
    for old, new in EXISTING_ALIASES:
        a, b = avrlibc.read_part(old, include_dir), avrlibc.read_part(new, include_dir)
        if a is None or b is None or a["signature"] != b["signature"]:
            raise SystemExit("%s and %s do not share a signature" % (old, new))
    seen = {}
    for row in rows:
        key = tuple(row["signature"])
        if key in seen:
            raise SystemExit("%s and %s share a signature" % (seen[key], row["name"]))
        seen[key] = row["name"]


WAIT_NAMES = ("Flash", "EEPROM", "erase", "fuse")


def source_comment(row, first_of_sheet):
    sheet = row["sheet"]
    parts = ["%s." % sheet["doc"]]
    if row["device"]:
        parts.append("Signature, memories, fuse and lock bits, factory values, calibration: %s.atdf."
                     % row["device"])
    else:
        parts.append("No device file: avr-libc's header.")
    if row["times_src"]:
        parts.append("Waits: %s." % row["times_src"])
    else:
        parts.append("Waits: not found; the family's longest.")
    longer = [WAIT_NAMES[i] for i in range(4) if row["time_srcs"][i] == "avrdude.conf"]
    if longer:
        parts.append("Longer in avrdude.conf, which stands: %s." % ", ".join(longer))
    if row["typical"] != row["times"][:4] and row["sheet"].get("typical"):
        parts.append("Typical busy times (the simulated chip's): %s." % "/".join("%g" % (v / 1000.0) for v in row["typical"]))
    parts.append("Poll RDY/BSY: %s." % ("avrdude.conf polls it" if row["ready_poll"] else "not in avrdude.conf's modes: data polling"))
    if sheet["page_src"]:
        parts.append("EEPROM %s: %s." % ("page mode" if sheet["eeprom_page"] else "byte mode", sheet["page_src"]))
    else:
        parts.append("EEPROM page mode not found: byte mode (C0), which every part has.")
    if row["package"][2] == 0:
        parts.append("Pin numbers not found (0).")
    if row["supply_src"]:
        parts.append("Supply pins: %s." % row["supply_src"])
    else:
        parts.append("Supply pins: VCC and GND of the table (no pinout of the package in a device file).")
    if sheet.get("note") and first_of_sheet:  # a sheet's note is said once, above its first row
        parts.append(sheet["note"][0].upper() + sheet["note"][1:] + ".")
    if row["why"]:
        parts.append("Overrides: %s." % row["why"])
    return parts


def sources_line(row):
    """The row's sources in one line, for --describe."""
    parts = ["%s.atdf" % row["device"] if row["device"] else "avr-libc's io header", row["sheet"]["doc"]]
    if row["times_src"]:
        parts.append("waits: " + row["times_src"])
    if "avrdude.conf" in row["time_srcs"]:
        parts.append("longer waits: avrdude.conf")
    return "; ".join(parts).replace('"', "'")


def wrap(words, indent, width=100):
    lines, line = [], indent + "//"
    for word in " ".join(words).split():
        if len(line) + 1 + len(word) > width:
            lines.append(line)
            line = indent + "//"
        line += " " + word
    lines.append(line)
    return lines


def emit(rows):
    out = []
    w = out.append
    w("// Generated by tools/partdata/partdata.py from the device files' extract (atdf-facts.txt),")
    w("// avr-libc's io headers, avrdude's part file and the datasheet table in that script.")
    w("// Do not edit: change the script and run it again.")
    w('#include "chips/PartTable.h"')
    w("")
    w("#include <iterator>")
    w("")
    w("namespace quillet {")
    w("")
    w("namespace {")
    w("")
    w("using R = FuseRole;")
    w("")
    w("// clang-format off")
    w("const PartRow kParts[] = {")
    previous_sheet = None
    for row in rows:
        out.extend(wrap(source_comment(row, row["sheet"] is not previous_sheet), "  "))
        previous_sheet = row["sheet"]
        fuses = []
        for f in row["fuses"]:
            roles = ", ".join(ROLE_ENUM + (r or "None") for r in f["roles"])
            fuses.append("{{%s},\n        {%s}, 0x%02X}" % (
                ", ".join(c_str(b) for b in f["bits"]), roles, f["factory"]))
        while len(fuses) < 3:
            fuses.append("{{}, {}, 0xFF}")
        name, pins, mosi, miso, sck, reset, _vcc, _gnd = row["package"]
        if len(row["supply"]) > MAX_SUPPLY_PINS:
            raise SystemExit("%s: %d supply pins, kMaxSupplyPins is %d" % (row["name"], len(row["supply"]), MAX_SUPPLY_PINS))
        t = row["times"]
        w('  {"%s", "%s", "%s", "%s", {0x%02X, 0x%02X, 0x%02X},' % (
            row["name"], ", ".join(row["aliases"]), ", ".join(row["part_ids"]), row["family"], *row["signature"]))
        w("   %d, %d, %d, %d, %d," % (row["flash"], row["flash_page"], row["eeprom"], row["eeprom_page"],
                                      row["calibration"]))
        w("   %d, {%s," % (len(row["fuses"]), fuses[0]))
        w("       %s," % fuses[1])
        w("       %s}," % fuses[2])
        w("   {%s}, 0x%02X," % (", ".join(c_str(b) for b in row["lock"]), row["lock_factory"]))
        w("   {%d, %d, %d, %d}, {%d, %d, %d, %d}, %s, %d," % (t + row["typical"] + ("true" if row["ready_poll"] else "false",
                                                                   row["vcc_max_mv"])))
        head = '   {"%s", %d, %d, %d, %d, %d,' % (name, pins, mosi, miso, sck, reset)
        supply = ['{%d, "%s"}' % p for p in row["supply"]]
        tail = "}}, %s," % c_str(row["note"])
        line = head + " {" + ", ".join(supply) + tail
        if len(line) <= 100:
            w(line)
        else:  # the supply pins on lines of their own
            w(head)
            line = "    {"
            for i, pin in enumerate(supply):
                piece = pin + (", " if i + 1 < len(supply) else tail)
                if len(line) + len(piece.rstrip()) > 100:
                    w(line.rstrip())
                    line = "     "
                line += piece
            w(line)
        w('   "%s",' % sources_line(row))
        w("   %s}," % c_str(row["why"]))
    w("};")
    w("// clang-format on")
    w("")
    w("}  // namespace")
    w("")
    w("const char* const kExistingAliases[][2] = {")
    for old, new in EXISTING_ALIASES:
        w('    {"%s", "%s"},' % (old, new))
    w("};")
    w("const size_t kExistingAliasCount = std::size(kExistingAliases);")
    w("")
    w("const PartRow* NewParts() { return kParts; }")
    w("size_t NewPartCount() { return std::size(kParts); }")
    w("")
    w("}  // namespace quillet")
    return "\n".join(out) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--include", default=avrlibc.DEFAULT_DIR, help="avr-libc include directory")
    ap.add_argument("--avrdude", default=avrdude.DEFAULT_PATH, help="avrdude's part file")
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--out", default=os.path.join(here, "..", "..", "chips", "generated", "PartTable.cpp"))
    args = ap.parse_args()
    if not os.path.isfile(os.path.join(args.include, "avr", "io.h")):
        raise SystemExit("avr-libc headers not found under %s (Debian package avr-libc)" % args.include)
    if not os.path.isfile(args.avrdude):
        raise SystemExit("%s not found (Debian package avrdude)" % args.avrdude)
    rows = build_rows(args.include, read_atdf(), avrdude.load(args.avrdude))
    check_aliases(rows, args.include)
    with open(args.out, "w") as f:
        f.write(emit(rows))
    print("%d rows written to %s" % (len(rows), os.path.normpath(args.out)))


if __name__ == "__main__":
    main()
