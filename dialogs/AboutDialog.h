// The About box: a few lines about the program and three links to its documents.
#pragma once

#include <QDialog>
#include <QUrl>

class QFrame;
class QLabel;
class QPushButton;

namespace quillet {

// A document that comes with the program, looked up from the program's folder exeDir: first
// ../share/doc/quillet/<name> (installed), then docs/<name> (the copies in the build folder).
// An empty URL when neither exists.
QUrl FindDocument(const QString& exeDir, const QString& name);

class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  explicit AboutDialog(QWidget* parent = nullptr);

  QFrame* panel = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label5 = nullptr;  // link: the gateway's command set
  QLabel* Label6 = nullptr;
  QLabel* Label7 = nullptr;  // link: the program's page
  QLabel* Label8 = nullptr;
  QLabel* Label9 = nullptr;
  QLabel* Label10 = nullptr;
  QLabel* Label11 = nullptr;  // link: help
  QLabel* Label12 = nullptr;  // the year notice
  QPushButton* OKButton = nullptr;

  // What the three links open (empty: the document was not found).
  QUrl Label5Url;
  QUrl Label7Url;
  QUrl Label11Url;
  // Looks the three documents up again from the program folder exeDir; the constructor does
  // so from the running program's.
  void LocateDocuments(const QString& exeDir);

 public slots:
  void OKButtonClick();
  void Label5Click();
  void Label7Click();
  void Label11Click();
  // Opens what link (Label5, Label7 or Label11) stands for: its click, Enter, Space or an
  // assistive tool's press.
  void Activate(QObject* link);

 public:
  void setVisible(bool visible) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void OpenDocument(const QUrl& url, const char* name);
  bool placed_ = false;
  QString exeDir_;
};

extern AboutDialog* AboutBox;

}  // namespace quillet
