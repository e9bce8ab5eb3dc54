// The set-up remembered between runs, in the user's settings file (QSettings): the port box,
// the delay, the page showing, where the file dialogs open, the chip last chosen from the menu
// and the recent files. Every value is checked on the way in; a bad one leaves its default
// and says so in one log line.
#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>

#include <string>
#include <vector>

#include "app/MainWindow.h"
#include "app/QtHostInterfaces.h"
#include "chips/FastTransport.h"
#include "image/SafeFile.h"
#include "link/Port.h"
#include "log/Log.h"

namespace quillet {

namespace {

constexpr const char* kRecentKeys[3] = {nullptr, "recentProgramFiles", "recentDataFiles"};
// Far more than the set-up ever takes (three lists of eight paths of at most 4096 characters).
constexpr qint64 kMaxSettingsBytes = 1 << 20;

void Ignored(const char* key, const std::string& why) {
  AddLog(LogKind::Text, std::string("Setting ") + key + " ignored: " + why);
}

// An integer in [low, high], or fallback.
int IntIn(const QSettings& s, const char* key, int low, int high, int fallback) {
  if (!s.contains(key)) return fallback;
  bool ok = false;
  const int v = s.value(key).toInt(&ok);
  if (!ok) Ignored(key, "not a number");
  else if (v < low || v > high)
    Ignored(key, "out of range (" + std::to_string(low) + " to " + std::to_string(high) + ")");
  return ok && v >= low && v <= high ? v : fallback;
}

// A string of at most maxLength characters (a hand-edited file may hold anything), or "".
QString Text(const QSettings& s, const char* key, qsizetype maxLength = 4096) {
  if (!s.contains(key)) return QString();
  const QVariant v = s.value(key);
  if (v.typeId() != QMetaType::QString) {
    Ignored(key, "not text");
    return QString();
  }
  const QString text = v.toString();
  if (text.size() > maxLength) Ignored(key, "longer than " + std::to_string(maxLength) + " characters");
  return text.size() <= maxLength ? text : QString();
}

// The elements of an INI value as QSettings reads them: escapes (\n, \x41, \101) turned into
// their characters, quotes dropped, split at the commas outside quotes. Only how each element
// begins matters here.
std::vector<std::string> IniElements(const std::string& raw) {
  std::vector<std::string> out(1);
  bool quoted = false;
  auto digits = [&](size_t& i, int base, size_t most) {
    unsigned v = 0;
    size_t k = 0;
    for (; k < most && i < raw.size(); ++k, ++i) {
      const char c = raw[i];
      const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
      if (d >= base) break;
      v = v * base + static_cast<unsigned>(d);
    }
    return static_cast<char>(v);
  };
  for (size_t i = 0; i < raw.size();) {
    const char c = raw[i++];
    if (c == '"') {
      quoted = !quoted;
    } else if (c == '\\' && i < raw.size()) {
      const char d = raw[i++];
      if (d == 'x') out.back() += digits(i, 16, 8);
      else if (d >= '0' && d <= '7') out.back() += digits(--i, 8, 3);
      else out.back() += d == 'a' ? '\a' : d == 'b' ? '\b' : d == 'f' ? '\f' : d == 'n' ? '\n'
                         : d == 'r' ? '\r' : d == 't' ? '\t' : d == 'v' ? '\v' : d;
    } else if (c == ',' && !quoted) {
      out.emplace_back();
    } else if ((c == ' ' || c == '\t') && !quoted && out.back().empty()) {
    } else {
      out.back() += c;
    }
  }
  return out;
}

// What our own keys hold, for the line that says why a value was dropped.
const char* Expected(const std::string& key) {
  return key == "delay" || key == "page" ? "not a number" : "not text";
}

// A value QSettings would decode as a serialized variant ("@Variant(...)", "@DateTime(...)")
// may claim any size, and QSettings would ask for it, whichever key is read: such lines are
// taken out of the file, each with a log line, before QSettings reads a value. false: the
// settings are not to be read (a file too large, or one that could not be cleaned).
bool CleanSettingsFile(const QString& fileName) {
  const QFileInfo info(fileName);
  if (!info.exists() || !info.isFile()) return true;
  if (info.size() > kMaxSettingsBytes) {
    AddLog(LogKind::Text, "Settings ignored: " + fileName.toStdString() + " is larger than 1 MB");
    return false;
  }
  QFile file(fileName);
  if (!file.open(QIODevice::ReadOnly)) return true;  // QSettings finds it unreadable too
  const QByteArray bytes = file.read(kMaxSettingsBytes);
  file.close();
  const std::string text(bytes.constData(), static_cast<size_t>(bytes.size()));
  std::string kept;
  bool dropped = false;
  for (size_t at = 0; at < text.size();) {
    // One entry: a line and the lines a trailing backslash continues it on.
    size_t end = at;
    for (;;) {
      end = text.find('\n', end);
      if (end == std::string::npos) {
        end = text.size();
        break;
      }
      size_t last = end;
      while (last > at && text[last - 1] == '\r') --last;
      if (last == at || text[last - 1] != '\\') break;
      ++end;
    }
    const std::string entry = text.substr(at, end - at);
    at = end < text.size() ? end + 1 : end;
    const size_t eq = entry.find('=');
    bool bad = false;
    std::string key;
    if (eq != std::string::npos && !entry.empty() && entry[0] != '[' && entry[0] != ';' &&
        entry[0] != '#') {
      key = entry.substr(0, eq);
      while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
      while (!key.empty() && (key[0] == ' ' || key[0] == '\t')) key.erase(0, 1);
      for (const std::string& e : IniElements(entry.substr(eq + 1)))
        if (e.rfind("@Variant(", 0) == 0 || e.rfind("@DateTime(", 0) == 0) bad = true;
    }
    if (bad) {
      dropped = true;
      AddLog(LogKind::Text, "Setting " + key.substr(0, 64) + " ignored: " + Expected(key));
      continue;
    }
    kept += entry;
    if (end < text.size()) kept += '\n';
  }
  if (!dropped) return true;
  SafeFile out;
  if (!out.Create(fileName.toStdString()) || !out.Write(kept.data(), kept.size()) || !out.Commit()) {
    AddLog(LogKind::Text, "Settings ignored: " + fileName.toStdString() + " cannot be rewritten without them (" +
                  out.Why() + ")");
    return false;
  }
  return true;
}

QtUserPrompt* Prompt() { return dynamic_cast<QtUserPrompt*>(&GetUserPrompt()); }

}  // namespace

void MainWindow::SettingsChanged() {
  if (!settingsEnabled_) return;
  if (!settingsTimer_) {
    settingsTimer_ = new QTimer(this);
    settingsTimer_->setSingleShot(true);
    settingsTimer_->setInterval(kSettingsDelayMs);
    connect(settingsTimer_, &QTimer::timeout, this, &MainWindow::StoreSettings);
  }
  settingsTimer_->start();
}

QSettings& MainWindow::Settings() {
  if (!settings_) settings_ = std::make_unique<QSettings>();
  return *settings_;
}

void MainWindow::RestoreSettings(const QString& portArgument) {
  // Opening reads the file's lines without decoding a value; the lines that would be decoded
  // into a size not yet checked are taken out before any value is read.
  if (!CleanSettingsFile(Settings().fileName())) {
    // Left as it is: neither read nor written over.
    if (!portArgument.isEmpty()) portBox->setEditText(portArgument);
    return;
  }
  settings_.reset();
  QSettings& s = Settings();
  settingsReadable_ = s.status() == QSettings::NoError;
  // From here on the set-up is written back when the window closes.
  settingsEnabled_ = true;
  if (!settingsReadable_) {
    if (!portArgument.isEmpty()) portBox->setEditText(portArgument);
    return;
  }

  delaySlider->setValue(IntIn(s, "delay", delaySlider->minimum(), delaySlider->maximum(), delaySlider->value()));
  memoryPages->setCurrentIndex(IntIn(s, "page", 0, memoryPages->count() - 1, 0));
  const QString port = Text(s, "port", static_cast<qsizetype>(kMaxPortName));
  if (!portArgument.isEmpty()) portBox->setEditText(portArgument);
  else if (!port.isEmpty()) portBox->setEditText(port);

  if (QtUserPrompt* prompt = Prompt()) {
    prompt->SetChosenHandler([this] { SettingsChanged(); });
    prompt->SetOpenPlace({Text(s, "openFolder"), Text(s, "openFilter")});
    prompt->SetSavePlace({Text(s, "saveFolder"), Text(s, "saveFilter")});
  }

  for (int image = 1; image <= 2; ++image) {
    recent_[image].clear();
    const QVariant v = s.value(kRecentKeys[image]);
    const bool list = v.typeId() == QMetaType::QStringList, one = v.typeId() == QMetaType::QString;
    if (s.contains(kRecentKeys[image]) && !list && !one && !v.toString().isEmpty())
      Ignored(kRecentKeys[image], "not a list of files");
    int refused = 0;
    for (const QString& path : list ? v.toStringList() : one ? QStringList{v.toString()} : QStringList()) {
      if (path.startsWith('/') && path.size() <= 4096) {
        if (recent_[image].size() < kRecentCount && !recent_[image].contains(path))
          recent_[image].append(path);
      } else if (!path.isEmpty()) {
        ++refused;
      }
    }
    if (refused)
      Ignored(kRecentKeys[image], std::to_string(refused) + (refused == 1 ? " entry" : " entries") +
                                      " not a full path");
    RefreshRecentMenu(image);
  }

  // Written as "true" or "false"; anything else keeps the default (on).
  const QString fast = Text(s, "fastTransfers", 8);
  if (fast == QLatin1String("true") || fast == QLatin1String("false")) {
    if (QAction* a = findChild<QAction*>(QStringLiteral("fastTransfersAction")))
      a->setChecked(fast == QLatin1String("true"));
  } else if (!fast.isEmpty()) {
    Ignored("fastTransfers", "not true or false");
  }

  // The user's size, within the screen and never below what the layout needs.
  const QVariant size = s.value("windowSize");
  if (size.typeId() == QMetaType::QSize && size.toSize().isValid() && size.toSize().width() <= 16384 &&
      size.toSize().height() <= 16384)
    resize(size.toSize().expandedTo(minimumSizeHint()));

  // Shown, not connected: the chip is selected as from the menu; nothing is sent.
  const QString chip = Text(s, "chip", 64);
  if (const ChipEntry* e = chip.isEmpty() ? nullptr : FindChipByName(chip.toStdString())) {
    ChipMenuClick(e->id);
  } else if (!chip.isEmpty()) {
    Ignored("chip", "no such chip");
  }
}

void MainWindow::StoreSettings() {
  if (!settingsEnabled_) return;
  QSettings& s = Settings();
  // An unreadable file is left as it is rather than overwritten with half a set-up.
  if (!settingsReadable_ && s.status() == QSettings::AccessError) return;
  s.setValue("port", portBox->currentText());
  s.setValue("delay", delaySlider->value());
  s.setValue("page", memoryPages->currentIndex());
  s.setValue("windowSize", size());
  if (QtUserPrompt* prompt = Prompt()) {
    const QtUserPrompt::Place open = prompt->OpenPlace();
    const QtUserPrompt::Place save = prompt->SavePlace();
    s.setValue("openFolder", open.folder);
    s.setValue("openFilter", open.filter);
    s.setValue("saveFolder", save.folder);
    s.setValue("saveFilter", save.filter);
  }
  const ChipEntry* e = FindChip(handChip_);
  s.setValue("chip", e ? QString::fromUtf8(e->name) : QString());
  for (int image = 1; image <= 2; ++image) s.setValue(kRecentKeys[image], recent_[image]);
  s.setValue("fastTransfers", FastTransfersEnabled());
  s.sync();
}

}  // namespace quillet
