// Draws the wiring picture of every catalogue chip: the package with the pin numbers of the
// serial-programming pins, wired to the gateway's 6-pin connector. Run at build time:
//   quillet-picturegen OUTPUT_DIR
// writes OUTPUT_DIR/<chip name>.jpg, at most 335 x 117 pixels each, from the package of every
// catalogue row: the serial signals and every supply pin, ground pads to GND and the others to VCC.
// Beside it, OUTPUT_DIR/<chip name>-Arduino.jpg (the window shows it while Quillet's firmware is
// the gateway): the same drawing, the connector replaced by the Arduino's pins, and a strip
// below with the decoupling capacitor, 335 x 128 pixels.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "chips/Catalogue.h"
#include "chips/PartTable.h"
#include "chips/Wiring.h"

namespace {

constexpr int kWidth = 335;
constexpr int kHeight = 117;
constexpr int kCapStrip = 11;  // below the drawing in the Arduino's picture

struct Rgb {
  uint8_t r, g, b;
};
constexpr Rgb kPaper{255, 255, 255};
constexpr Rgb kInk{0, 0, 0};
constexpr Rgb kBody{60, 60, 60};
constexpr Rgb kPin{150, 150, 150};

// ---- the gateway connector: pin order and one colour per signal ----
enum Signal { MISO, VCC, SCK, MOSI, RESET, GND, kSignals };
static_assert(kSignals == quillet::kWireSignals && VCC == quillet::kVccSignal && GND == quillet::kGndSignal);
constexpr const auto& kSignalName = quillet::kWireSignalName;
constexpr Rgb kSignalColour[kSignals] = {
    {0, 70, 200}, {210, 0, 0}, {0, 140, 0}, {220, 110, 0}, {140, 0, 160}, {0, 0, 0}};

// ---- packages and pinouts ----
// Dual: two rows (DIP, SOIC), numbered counter-clockwise from the lower left. Quad: four sides
// (TQFP, QFN), pin 1 at the top of the left side, counter-clockwise.
enum class Package { Dip, Quad };
struct Wire {
  int pin;
  Signal signal;
};
// Pin numbers are kept inside the body or moved next to the connector.
struct Pinout {
  Package package;
  int pins;
  std::vector<Wire> wires;
  std::string label;            // the package as the row names it, "PDIP-28"
  std::vector<Signal> unknown;  // signals whose pins are not known
  std::vector<std::string> notes;  // lines at the foot, the last lowest: wiring to mind, weak evidence
  uint16_t supplyMaxMv = 5500;     // the highest supply the chip takes
};

// ---- a tiny rasteriser ----
struct Canvas {
  explicit Canvas(int h) : height(h) {}
  int height;
  std::vector<uint8_t> rgb = std::vector<uint8_t>(kWidth * height * 3, 255);
  void Put(int x, int y, Rgb c) {
    if (x < 0 || y < 0 || x >= kWidth || y >= height) return;
    uint8_t* p = &rgb[(y * kWidth + x) * 3];
    p[0] = c.r, p[1] = c.g, p[2] = c.b;
  }
  void Fill(int x, int y, int w, int h, Rgb c) {
    for (int j = y; j < y + h; ++j)
      for (int i = x; i < x + w; ++i) Put(i, j, c);
  }
  void HLine(int x0, int x1, int y, Rgb c) { Fill(std::min(x0, x1), y, std::abs(x1 - x0) + 1, 1, c); }
  void VLine(int x, int y0, int y1, Rgb c) { Fill(x, std::min(y0, y1), 1, std::abs(y1 - y0) + 1, c); }
  void Frame(int x, int y, int w, int h, Rgb c) {
    HLine(x, x + w - 1, y, c), HLine(x, x + w - 1, y + h - 1, c);
    VLine(x, y, y + h - 1, c), VLine(x + w - 1, y, y + h - 1, c);
  }
  void Dot(int x, int y, Rgb c) { Fill(x - 1, y - 1, 3, 3, c); }
  void Text(int x, int y, const std::string& s, Rgb c);
};

// 5x7 glyphs, one byte a column, bit 0 the top row.
struct Glyph {
  char ch;
  uint8_t col[5];
};
constexpr Glyph kFont[] = {
    {'0', {0x3E, 0x51, 0x49, 0x45, 0x3E}}, {'1', {0x00, 0x42, 0x7F, 0x40, 0x00}},
    {'2', {0x42, 0x61, 0x51, 0x49, 0x46}}, {'3', {0x21, 0x41, 0x45, 0x4B, 0x31}},
    {'4', {0x18, 0x14, 0x12, 0x7F, 0x10}}, {'5', {0x27, 0x45, 0x45, 0x45, 0x39}},
    {'6', {0x3C, 0x4A, 0x49, 0x49, 0x30}}, {'7', {0x01, 0x71, 0x09, 0x05, 0x03}},
    {'8', {0x36, 0x49, 0x49, 0x49, 0x36}}, {'9', {0x06, 0x49, 0x49, 0x29, 0x1E}},
    {'A', {0x7E, 0x11, 0x11, 0x11, 0x7E}}, {'B', {0x7F, 0x49, 0x49, 0x49, 0x36}},
    {'C', {0x3E, 0x41, 0x41, 0x41, 0x22}}, {'D', {0x7F, 0x41, 0x41, 0x22, 0x1C}},
    {'E', {0x7F, 0x49, 0x49, 0x49, 0x41}}, {'F', {0x7F, 0x09, 0x09, 0x09, 0x01}},
    {'G', {0x3E, 0x41, 0x49, 0x49, 0x7A}}, {'H', {0x7F, 0x08, 0x08, 0x08, 0x7F}},
    {'I', {0x00, 0x41, 0x7F, 0x41, 0x00}}, {'K', {0x7F, 0x08, 0x14, 0x22, 0x41}},
    {'L', {0x7F, 0x40, 0x40, 0x40, 0x40}}, {'M', {0x7F, 0x02, 0x0C, 0x02, 0x7F}},
    {'N', {0x7F, 0x04, 0x08, 0x10, 0x7F}}, {'O', {0x3E, 0x41, 0x41, 0x41, 0x3E}},
    {'P', {0x7F, 0x09, 0x09, 0x09, 0x06}}, {'Q', {0x3E, 0x41, 0x51, 0x21, 0x5E}},
    {'R', {0x7F, 0x09, 0x19, 0x29, 0x46}}, {'S', {0x46, 0x49, 0x49, 0x49, 0x31}},
    {'T', {0x01, 0x01, 0x7F, 0x01, 0x01}}, {'U', {0x3F, 0x40, 0x40, 0x40, 0x3F}},
    {'V', {0x1F, 0x20, 0x40, 0x20, 0x1F}}, {'W', {0x3F, 0x40, 0x38, 0x40, 0x3F}},
    {'Y', {0x07, 0x08, 0x70, 0x08, 0x07}}, {'a', {0x20, 0x54, 0x54, 0x54, 0x78}},
    {'e', {0x38, 0x54, 0x54, 0x54, 0x18}}, {'i', {0x00, 0x44, 0x7D, 0x40, 0x00}},
    {'n', {0x7C, 0x08, 0x04, 0x04, 0x78}}, {'t', {0x04, 0x3F, 0x44, 0x40, 0x20}},
    {'w', {0x3C, 0x40, 0x30, 0x40, 0x3C}}, {'y', {0x0C, 0x50, 0x50, 0x50, 0x3C}},
    {'J', {0x20, 0x40, 0x41, 0x3F, 0x01}}, {'X', {0x63, 0x14, 0x08, 0x14, 0x63}},
    {'Z', {0x61, 0x51, 0x49, 0x45, 0x43}}, {'b', {0x7F, 0x48, 0x44, 0x44, 0x38}},
    {'c', {0x38, 0x44, 0x44, 0x44, 0x20}}, {'d', {0x38, 0x44, 0x44, 0x48, 0x7F}},
    {'f', {0x08, 0x7E, 0x09, 0x01, 0x02}}, {'g', {0x0C, 0x52, 0x52, 0x52, 0x3E}},
    {'h', {0x7F, 0x08, 0x04, 0x04, 0x78}}, {'j', {0x20, 0x40, 0x44, 0x3D, 0x00}},
    {'k', {0x7F, 0x10, 0x28, 0x44, 0x00}}, {'l', {0x00, 0x41, 0x7F, 0x40, 0x00}},
    {'m', {0x7C, 0x04, 0x18, 0x04, 0x78}}, {'o', {0x38, 0x44, 0x44, 0x44, 0x38}},
    {'p', {0x7C, 0x14, 0x14, 0x14, 0x08}}, {'q', {0x08, 0x14, 0x14, 0x18, 0x7C}},
    {'r', {0x7C, 0x08, 0x04, 0x04, 0x08}}, {'s', {0x48, 0x54, 0x54, 0x54, 0x20}},
    {'u', {0x3C, 0x40, 0x40, 0x20, 0x7C}}, {'v', {0x1C, 0x20, 0x40, 0x20, 0x1C}},
    {'x', {0x44, 0x28, 0x10, 0x28, 0x44}}, {'z', {0x44, 0x64, 0x54, 0x4C, 0x44}},
    {':', {0x00, 0x36, 0x36, 0x00, 0x00}}, {'.', {0x00, 0x60, 0x60, 0x00, 0x00}},
    {'-', {0x08, 0x08, 0x08, 0x08, 0x08}}, {'/', {0x20, 0x10, 0x08, 0x04, 0x02}},
    {'(', {0x00, 0x1C, 0x22, 0x41, 0x00}}, {')', {0x00, 0x41, 0x22, 0x1C, 0x00}},
};
constexpr int kCharWidth = 6;  // 5 columns and a gap
constexpr int kCharHeight = 7;
constexpr int kNoteStep = kCharHeight + 2;  // the lines at the foot
int TextWidth(const std::string& s) { return s.empty() ? 0 : static_cast<int>(s.size()) * kCharWidth - 1; }

void Canvas::Text(int x, int y, const std::string& s, Rgb c) {
  for (char ch : s) {
    for (const Glyph& g : kFont) {
      if (g.ch != ch) continue;
      for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 7; ++j)
          if (g.col[i] >> j & 1) Put(x + i, y + j, c);
    }
    x += kCharWidth;
  }
}

// ---- the drawing ----
enum class Side { Top, Bottom, Left, Right };
struct PinPlace {
  int x, y;  // the outer end of the pin
  Side side;
};

struct Layout {
  int bodyX, bodyY, bodyW, bodyH;
  int pitch;
  int laneStep;  // between the lanes above and below the body
};

constexpr int kPinLength = 4;
constexpr int kLaneStep = 4;
constexpr int kConnectorX = 278;
constexpr int kConnectorRow0 = 32;
constexpr int kConnectorRowStep = 12;

// DIP, top view with the notch on the left: pins 1..n/2 along the bottom from the left,
// the rest along the top back to the left. Quad: pin 1 at the top of the left side, then
// counter-clockwise, a quarter of the pins a side.
int PerSide(int pins) { return std::max(1, (pins + 3) / 4); }
PinPlace PlacePin(Package package, int pins, int pin, const Layout& l) {
  if (package == Package::Dip) {
    const int half = pins / 2;
    const int margin = (l.bodyW - (half - 1) * l.pitch) / 2;
    if (pin <= half) return {l.bodyX + margin + (pin - 1) * l.pitch, l.bodyY + l.bodyH - 1 + kPinLength, Side::Bottom};
    return {l.bodyX + margin + (pins - pin) * l.pitch, l.bodyY - kPinLength, Side::Top};
  }
  const int perSide = PerSide(pins);
  const int margin = (l.bodyW - (perSide - 1) * l.pitch) / 2;
  const int side = std::min(3, (pin - 1) / perSide), k = (pin - 1) - side * perSide;
  switch (side) {
    case 0: return {l.bodyX - kPinLength, l.bodyY + margin + k * l.pitch, Side::Left};
    case 1: return {l.bodyX + margin + k * l.pitch, l.bodyY + l.bodyH - 1 + kPinLength, Side::Bottom};
    case 2: return {l.bodyX + l.bodyW - 1 + kPinLength, l.bodyY + l.bodyH - 1 - margin - k * l.pitch, Side::Right};
    default: return {l.bodyX + l.bodyW - 1 - margin - k * l.pitch, l.bodyY - kPinLength, Side::Top};
  }
}

void DrawPinStub(Canvas& c, const PinPlace& p, Rgb colour) {
  switch (p.side) {
    case Side::Top: c.VLine(p.x, p.y, p.y + kPinLength - 1, colour); break;
    case Side::Bottom: c.VLine(p.x, p.y - kPinLength + 1, p.y, colour); break;
    case Side::Left: c.HLine(p.x, p.x + kPinLength - 1, p.y, colour); break;
    case Side::Right: c.HLine(p.x - kPinLength + 1, p.x, p.y, colour); break;
  }
}

// A rectangle of the picture, corners included.
struct Box {
  int x0, y0, x1, y1;
  bool Near(const Box& o) const {  // overlapping or touching
    return x0 <= o.x1 + 1 && o.x0 <= x1 + 1 && y0 <= o.y1 + 1 && o.y0 <= y1 + 1;
  }
  bool Inside(const Box& o) const { return x0 >= o.x0 && y0 >= o.y0 && x1 <= o.x1 && y1 <= o.y1; }
};

// Pin numbers inside the body, next to their pins; a number that would touch its neighbour
// moves one row (or column) further in. With taken (the drawing, not the counting of rows), a
// number also keeps clear of what taken holds and stays inside the body (with half, in the half
// next to its side, so it cannot be read as a number of the far side), or is left out: *missed
// counts those.
int PlaceLabels(Canvas* c, const std::vector<std::pair<PinPlace, int>>& pins, const Layout& l, Side side,
                std::vector<Box>* taken = nullptr, int* missed = nullptr, bool half = false) {
  std::vector<std::vector<std::pair<int, int>>> rows;  // occupied ranges along the side
  int depth = 0;
  Box inner{l.bodyX + 1, l.bodyY + 1, l.bodyX + l.bodyW - 2, l.bodyY + l.bodyH - 2};
  if (half) {
    const int midX = l.bodyX + l.bodyW / 2, midY = l.bodyY + l.bodyH / 2;
    switch (side) {
      case Side::Top: inner.y1 = midY; break;
      case Side::Bottom: inner.y0 = midY; break;
      case Side::Left: inner.x1 = midX; break;
      case Side::Right: inner.x0 = midX; break;
    }
  }
  for (const auto& [place, number] : pins) {
    if (place.side != side) continue;
    const std::string text = std::to_string(number);
    const bool across = side == Side::Top || side == Side::Bottom;
    const int centre = across ? place.x : place.y;
    const int extent = across ? TextWidth(text) : kCharHeight;
    const int from = centre - extent / 2, to = from + extent - 1;
    auto boxAt = [&](int r) -> Box {
      const int w = TextWidth(text);
      switch (side) {
        case Side::Top: return {from, l.bodyY + 2 + r * 9, to, l.bodyY + 8 + r * 9};
        case Side::Bottom: return {from, l.bodyY + l.bodyH - 9 - r * 9, to, l.bodyY + l.bodyH - 3 - r * 9};
        case Side::Left: return {l.bodyX + 2 + r * 13, from, l.bodyX + 1 + w + r * 13, to};
        default: return {l.bodyX + l.bodyW - 2 - w - r * 13, from, l.bodyX + l.bodyW - 3 - r * 13, to};
      }
    };
    size_t row = 0;
    bool placed = false;
    for (;; ++row) {
      if (taken && !boxAt(static_cast<int>(row)).Inside(inner)) break;
      bool free = true;
      if (row < rows.size())
        for (auto [a, b] : rows[row])
          if (from <= b + 4 && to >= a - 4) free = false;
      if (free && taken)
        for (const Box& other : *taken)
          if (boxAt(static_cast<int>(row)).Near(other)) free = false;
      if (free) {
        placed = true;
        break;
      }
    }
    if (!placed) {
      if (missed) ++*missed;
      continue;
    }
    if (row >= rows.size()) rows.resize(row + 1);
    rows[row].push_back({from, to});
    depth = std::max(depth, static_cast<int>(row) + 1);
    if (taken) taken->push_back(boxAt(static_cast<int>(row)));
    if (!c) continue;
    const Box b = boxAt(static_cast<int>(row));
    c->Text(b.x0, b.y0, text, kPaper);
  }
  return depth;
}

// A quad package's size: the widest pitch and lane spacing with which the drawing fits the
// picture above the lines at its foot.
void FitQuad(Layout& l, int pins, int up, int down, int left, int foot) {
  struct Option {
    int pitch, laneStep, margin;
  };
  constexpr Option kOptions[] = {{3, 4, 9}, {3, 3, 9}, {3, 3, 6}, {2, 3, 6}, {2, 3, 5}, {2, 2, 4}};
  for (const Option& o : kOptions) {
    l.pitch = o.pitch;
    l.laneStep = o.laneStep;
    l.bodyW = l.bodyH = (PerSide(pins) - 1) * o.pitch + 2 * o.margin;
    l.bodyX = std::max(22, 10 + o.laneStep * std::max(0, left - 1));
    const int tipTop = 13 + 3 + o.laneStep * std::max(0, up - 1);
    const int tipBottom = tipTop + 2 * kPinLength + l.bodyH - 1;
    const int lowest = down ? tipBottom + 3 + o.laneStep * (down - 1) : tipBottom;
    if (lowest <= kHeight - 2 - foot) return;
  }
}

std::string Join(const std::vector<int>& numbers, const char* between) {
  std::string s;
  for (int n : numbers) s += (s.empty() ? "" : between) + std::to_string(n);
  return s;
}

// The strip under the Arduino's picture: 100 nF from the chip's VCC pins to its GND pins, which
// belongs next to the chip, one at each VCC pin where it has several.
void DrawCapacitor(Canvas& c, const std::string& name, const Pinout& chip) {
  std::vector<int> pins[2];  // VCC, GND
  for (const Wire& w : chip.wires)
    if (w.signal == VCC || w.signal == GND) pins[w.signal == GND].push_back(w.pin);
  constexpr int kSymbol = 3 + 7 + 7 + 7 + 10;  // leads and plates between the two labels
  // The pin numbers with the supply's names where they fit, else the colours tell them apart.
  const bool several = pins[0].size() > 1;
  const struct {
    bool named;
    const char* text;
  } kForms[] = {{true, several ? "100nF at each VCC pin" : "100nF close to the chip"},
                {false, several ? "100nF at each VCC pin" : "100nF close to the chip"},
                {false, several ? "100nF each VCC pin" : "100nF at the chip"}};
  std::string vcc, gnd, text;
  for (const auto& form : kForms) {
    vcc = pins[0].empty() ? "VCC" : (form.named ? "VCC " : "") + Join(pins[0], "/");
    gnd = pins[1].empty() ? "GND" : Join(pins[1], "/") + (form.named ? " GND" : "");
    text = form.text;
    if (4 + TextWidth(vcc) + kSymbol + TextWidth(gnd) + 8 + TextWidth(text) < kWidth) break;
  }
  const int top = kHeight, mid = top + kCapStrip / 2, textY = mid - kCharHeight / 2;
  int x = 4;
  c.Text(x, textY, vcc, kSignalColour[VCC]);
  x += TextWidth(vcc) + 3;
  c.HLine(x, x + 6, mid, kSignalColour[VCC]);
  x += 7;
  c.Fill(x, top + 1, 2, kCapStrip - 2, kInk);  // the plates
  c.Fill(x + 5, top + 1, 2, kCapStrip - 2, kInk);
  x += 7;
  c.HLine(x, x + 6, mid, kSignalColour[GND]);
  x += 10;
  c.Text(x, textY, gnd, kSignalColour[GND]);
  x += TextWidth(gnd) + 8;
  c.Text(x, textY, text, kInk);
  if (x + TextWidth(text) > kWidth)
    std::fprintf(stderr, "picturegen: %s: the capacitor's line is too long\n", name.c_str());
}

// With arduino, the Arduino's picture: the connector becomes the Arduino's pins, and the strip
// below shows the decoupling capacitor; everything else is drawn alike.
Canvas Draw(const std::string& name, const Pinout& chip, bool arduino) {
  Canvas c(arduino ? kHeight + kCapStrip : kHeight);
  const bool dip = chip.package == Package::Dip;
  const std::string& package = chip.label;
  c.Text(4, 2, name + " (" + package + ")", kInk);
  // The Arduino's 5 V is too much for some chips: said beside the name, where every picture has room.
  if (arduino && quillet::NeedsThreeVolts(chip.supplyMaxMv)) {
    const std::string caution = quillet::Volts(chip.supplyMaxMv) + "V MAX: 3V3 / LEVEL SHIFTERS";
    const int x = kWidth - 2 - TextWidth(caution);
    if (x < 4 + TextWidth(name + " (" + package + ")") + kCharWidth)
      std::fprintf(stderr, "picturegen: %s: the supply's caution finds no room\n", name.c_str());
    c.Text(x, 2, caution, kSignalColour[VCC]);
  }

  // Sides first, with a provisional body, to count the lanes above and below.
  Layout l{};
  l.laneStep = kLaneStep;
  l.pitch = dip ? (chip.pins / 2 >= 20 ? 11 : 12) : 3;
  l.bodyW = dip ? (chip.pins / 2 - 1) * l.pitch + 14 : (PerSide(chip.pins) - 1) * l.pitch + 18;
  l.bodyX = dip ? 8 : 22;
  l.bodyY = 0;
  l.bodyH = dip ? 30 : l.bodyW;
  std::vector<std::pair<PinPlace, int>> places;
  int top = 0, bottom = 0, left = 0;
  for (const Wire& w : chip.wires) {
    const PinPlace p = PlacePin(chip.package, chip.pins, w.pin, l);
    places.push_back({p, w.pin});
    top += p.side == Side::Top || p.side == Side::Left;
    left += p.side == Side::Left;
    bottom += p.side == Side::Bottom;  // right-hand pins run straight out to their lanes
  }
  int topRows = 0, bottomRows = 0;
  if (dip) {
    topRows = PlaceLabels(nullptr, places, l, Side::Top);
    bottomRows = PlaceLabels(nullptr, places, l, Side::Bottom);
    l.bodyH = std::max(30, 11 + 9 * (topRows + bottomRows));
  } else {
    FitQuad(l, chip.pins, top, bottom, left, kNoteStep * static_cast<int>(chip.notes.size()));
  }
  const int laneStep = l.laneStep;
  // Title, then the lanes above the body (left-side wires climb to them too).
  const int tipTop = 13 + 3 + laneStep * std::max(0, top - 1);
  l.bodyY = tipTop + kPinLength;
  places.clear();
  for (const Wire& w : chip.wires) places.push_back({PlacePin(chip.package, chip.pins, w.pin, l), w.pin});

  // Body, pins, pin 1 mark, pin numbers, package name.
  c.Fill(l.bodyX, l.bodyY, l.bodyW, l.bodyH, kBody);
  for (int pin = 1; pin <= chip.pins; ++pin) DrawPinStub(c, PlacePin(chip.package, chip.pins, pin, l), kPin);
  std::vector<Box> taken;
  if (dip) {
    const int cy = l.bodyY + l.bodyH / 2;
    for (int dy = -4; dy <= 4; ++dy)
      for (int dx = 0; dx * dx + dy * dy <= 16; ++dx) c.Put(l.bodyX + dx, cy + dy, kPaper);
    taken.push_back({l.bodyX, cy - 4, l.bodyX + 4, cy + 4});
  } else {
    c.Fill(l.bodyX + 3, l.bodyY + 3, 3, 3, kPaper);
    taken.push_back({l.bodyX + 3, l.bodyY + 3, l.bodyX + 5, l.bodyY + 5});
  }
  int missed = 0;
  for (Side s : {Side::Top, Side::Bottom, Side::Left, Side::Right})
    PlaceLabels(&c, places, l, s, &taken, &missed, !dip);
  // The package name sits in the band the pin numbers leave free.
  const int nameW = TextWidth(package);
  const int nameX = l.bodyX + (l.bodyW - nameW) / 2;
  {
    // The middle first, then further up or down, wherever no pin number is; left out if none.
    const Box inner{l.bodyX + 1, l.bodyY + 1, l.bodyX + l.bodyW - 2, l.bodyY + l.bodyH - 2};
    const int middle = l.bodyY + (l.bodyH - kCharHeight) / 2;
    for (int d = 0; d < l.bodyH; ++d) {
      const int y = middle + (d % 2 ? (d + 1) / 2 : -d / 2);
      const Box b{nameX, y, nameX + nameW - 1, y + kCharHeight - 1};
      bool free = b.Inside(inner);
      for (const Box& o : taken) free = free && !b.Near(o);
      if (!free) continue;
      c.Text(nameX, y, package, {200, 200, 200});
      break;
    }
  }

  // Lanes: within the wires that leave upwards, the rightmost takes the innermost lane, so no
  // wire runs across another's pin; left-side pins first step out, the lowest farthest.
  // Right-hand pins take the innermost lanes, straight out from the pin.
  struct Route {
    PinPlace place;
    Signal signal;
    int order;  // sort key: larger is further right
  };
  std::vector<Route> up, down, out;
  for (size_t i = 0; i < chip.wires.size(); ++i) {
    const PinPlace& p = places[i].first;
    if (p.side == Side::Top || p.side == Side::Left)
      up.push_back({p, chip.wires[i].signal, p.side == Side::Left ? -1000 - p.y : p.x});
    else if (p.side == Side::Right)
      out.push_back({p, chip.wires[i].signal, -p.y});
    else
      down.push_back({p, chip.wires[i].signal, p.x});
  }
  auto byOrder = [](const Route& a, const Route& b) { return a.order > b.order; };
  std::sort(up.begin(), up.end(), byOrder);
  std::sort(down.begin(), down.end(), byOrder);
  std::sort(out.begin(), out.end(), byOrder);
  const int laneX0 = l.bodyX + l.bodyW + kPinLength + 5;
  int lane = 0, step = 0;
  std::vector<std::pair<int, int>> corners[kSignals];  // (lane x, row y) of each wire
  auto route = [&](const Route& r, int laneY) {
    const Rgb colour = kSignalColour[r.signal];
    const int x = laneX0 + 5 * lane++;
    const int rowY = kConnectorRow0 + kConnectorRowStep * r.signal;
    int px = r.place.x;
    if (r.place.side == Side::Left) {
      const int outX = r.place.x - 3 - laneStep * step++;
      c.HLine(r.place.x, outX, r.place.y, colour);
      px = outX;
    }
    if (r.place.side == Side::Right) {
      c.HLine(px, x, r.place.y, colour);
      c.VLine(x, r.place.y, rowY, colour);
    } else {
      c.VLine(px, r.place.y, laneY, colour);
      c.HLine(px, x, laneY, colour);
      c.VLine(x, laneY, rowY, colour);
    }
    c.HLine(x, kConnectorX, rowY, colour);
    DrawPinStub(c, r.place, colour);
    c.Dot(r.place.x, r.place.y, colour);
    corners[r.signal].push_back({x, rowY});
  };
  for (const Route& r : out) route(r, 0);
  for (size_t j = 0; j < up.size(); ++j) route(up[j], tipTop - 3 - laneStep * static_cast<int>(j));
  const int tipBottom = l.bodyY + l.bodyH - 1 + kPinLength;
  for (size_t j = 0; j < down.size(); ++j) route(down[j], tipBottom + 3 + laneStep * static_cast<int>(j));
  const int lowest = down.empty() ? tipBottom : tipBottom + 3 + laneStep * static_cast<int>(down.size() - 1);
  if (lowest > kHeight - 2 - kNoteStep * static_cast<int>(chip.notes.size()))
    std::fprintf(stderr, "picturegen: %s: wires run under the lines at the foot\n", name.c_str());
  // Two pins on one signal (VCC, GND of the TQFP) join on the connector row.
  for (int s = 0; s < kSignals; ++s)
    for (const auto& [x, y] : corners[s])
      for (const auto& other : corners[s])
        if (other.first > x) {
          c.Dot(x, y, kSignalColour[s]);
          break;
        }

  // The gateway connector, or the Arduino's pins: each pin's name, then its signal.
  const int boxTop = kConnectorRow0 - 6;
  c.Text(kConnectorX - 4, boxTop - 10, arduino ? "ARDUINO" : "GATEWAY", kInk);
  if (!arduino) c.Frame(kConnectorX, boxTop, 9, kConnectorRowStep * kSignals, kInk);
  for (int s = 0; s < kSignals; ++s) {
    const int y = kConnectorRow0 + kConnectorRowStep * s;
    if (!arduino) {
      c.Fill(kConnectorX + 3, y - 1, 3, 3, kInk);
      c.Text(kConnectorX + 13, y - 3, std::to_string(s + 1) + " " + kSignalName[s], kSignalColour[s]);
      continue;
    }
    c.Fill(kConnectorX - 1, y - 1, 3, 3, kInk);
    c.Text(kConnectorX + 5, y - 3, quillet::ArduinoPinOf(s, chip.supplyMaxMv), kInk);
    if (s != GND) c.Text(kConnectorX + 5 + 4 * kCharWidth, y - 3, kSignalName[s], kSignalColour[s]);
  }
  for (size_t i = 0; i < chip.notes.size(); ++i) {
    // On paper of its own at the foot, over whatever runs there.
    const int y = kHeight - kCharHeight - 1 - kNoteStep * static_cast<int>(chip.notes.size() - 1 - i);
    c.Fill(0, y - 1, TextWidth(chip.notes[i]) + 4, kCharHeight + 2, kPaper);
    c.Text(2, y, chip.notes[i], kInk);
  }

  // Each signal's pin numbers over its wire by the connector, where the lanes leave room (on a
  // crowded package they are the only place some numbers find).
  const int lanesEnd = laneX0 + 5 * std::max(0, lane - 1);
  bool numbered = true;
  for (int s = 0; s < kSignals; ++s) {
    std::vector<int> numbers;
    for (const Wire& w : chip.wires)
      if (w.signal == s) numbers.push_back(w.pin);
    if (numbers.empty()) continue;
    const std::string text = Join(numbers, "/");
    const int x = kConnectorX - 3 - TextWidth(text);
    if (x <= lanesEnd + 3) {
      numbered = false;
      continue;
    }
    c.Text(x, kConnectorRow0 + kConnectorRowStep * s - 9, text, kSignalColour[s]);
  }
  if (missed > 0 && !numbered)
    std::fprintf(stderr, "picturegen: %s: %d pin numbers found no room\n", name.c_str(), missed);

  // Pins the part table does not know: the others are drawn, and the picture says which.
  if (!chip.unknown.empty()) {
    std::string which;
    for (Signal s : chip.unknown) which += (which.empty() ? "" : " ") + std::string(kSignalName[s]);
    const int x = std::max(l.bodyX + l.bodyW + kPinLength + 8, lane ? lanesEnd + 8 : 0);
    const int y = std::max(kConnectorRow0, tipTop + kPinLength + 2);
    if (chip.unknown.size() == kSignals) which = "all six signals";
    const std::string lines[] = {"Pin numbers of", which, "not known here:", "see the datasheet."};
    int row = 0;
    for (const std::string& line : lines) c.Text(x, y + 10 * row++, line, kInk);
  }
  if (arduino) DrawCapacitor(c, name, chip);
  return c;
}

// The pinout of a chip from its package: kind and pin count from the name, the four signals on
// the pins it gives, every supply pin on VCC or GND.
Pinout PinoutOfPackage(const quillet::PartPackage& pkg, const char* chipName, const char* note) {
  Pinout p{};
  const std::string kind = pkg.name ? pkg.name : "";
  std::string letters, digits;
  for (char ch : kind) (std::isdigit(static_cast<unsigned char>(ch)) ? digits : letters) += ch;
  const bool quad = letters.find("QFP") != std::string::npos || letters.find("QFN") != std::string::npos ||
                    letters.find("MLF") != std::string::npos;
  p.package = quad ? Package::Quad : Package::Dip;
  p.pins = std::clamp<int>(pkg.pinCount, 4, 255);
  p.label = letters.empty() || digits.empty() ? kind : letters + "-" + digits;
  auto add = [&](int pin, Signal s) {
    if (pin >= 1 && pin <= p.pins) {
      p.wires.push_back({pin, s});
      return true;
    }
    if (pin != 0)
      std::fprintf(stderr, "picturegen: %s: %s pin %d outside the %s\n", chipName, kSignalName[s], pin,
                   kind.c_str());
    return false;
  };
  const std::pair<int, Signal> signals[] = {{pkg.mosi, MOSI}, {pkg.miso, MISO}, {pkg.sck, SCK}, {pkg.reset, RESET}};
  for (const auto& [pin, s] : signals)
    if (!add(pin, s)) p.unknown.push_back(s);
  bool any[2] = {false, false};  // VCC, GND
  std::vector<int> avcc, agnd;
  for (int i = 0; i < quillet::kMaxSupplyPins && pkg.supply[i].pin; ++i) {
    const bool ground = quillet::IsGroundPad(pkg.supply[i].pad);
    any[ground] = add(pkg.supply[i].pin, ground ? GND : VCC) || any[ground];
    const std::string pad = pkg.supply[i].pad ? pkg.supply[i].pad : "";
    if (pad == "AVCC") avcc.push_back(pkg.supply[i].pin);
    if (pad == "AGND") agnd.push_back(pkg.supply[i].pin);
  }
  if (!any[0]) p.unknown.push_back(VCC);
  if (!any[1]) p.unknown.push_back(GND);
  // The datasheets ask for AVCC on VCC even where the ADC is not used: without it a chip may not
  // answer.
  if (!avcc.empty())
    p.notes.push_back("Tie AVCC " + Join(avcc, "/") + " to VCC" +
                      (agnd.empty() ? "" : " and AGND " + Join(agnd, "/") + " to GND") + " even without ADC");
  if (note) p.notes.push_back(note);
  return p;
}

bool WriteJpeg(const std::string& path, const Canvas& canvas) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, file);
  info.image_width = kWidth;
  info.image_height = canvas.height;
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 90, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(&canvas.rgb[info.next_scanline * kWidth * 3]);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  const bool ok = std::ferror(file) == 0;
  return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : ".";
  int failures = 0;
  for (const quillet::ChipEntry& entry : quillet::Catalogue()) {
    if (!entry.name || !*entry.name) continue;
    if (!entry.package) {
      std::fprintf(stderr, "picturegen: no package for %s\n", entry.name);
      ++failures;
      continue;
    }
    Pinout chip = PinoutOfPackage(*entry.package, entry.name, entry.part ? entry.part->pictureNote : nullptr);
    chip.supplyMaxMv = quillet::SupplyMaxMv(entry.part);
    for (bool arduino : {false, true}) {
      const std::string path = dir + "/" + entry.name + (arduino ? "-Arduino.jpg" : ".jpg");
      if (!WriteJpeg(path, Draw(entry.name, chip, arduino))) {
        std::fprintf(stderr, "picturegen: cannot write %s\n", path.c_str());
        ++failures;
      }
    }
  }
  return failures == 0 ? 0 : 1;
}
