// Writes the three help PDFs into the folder given as the only argument.
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTextDocument>

#include <cstdio>

#include "help_texts.h"

namespace {

const char* kStyle =
    "h1 { color: #1f6fa8; font-size: 26pt; margin-bottom: 4pt; }"
    "h2 { color: #1f6fa8; font-size: 14pt; margin-top: 14pt; margin-bottom: 4pt; }"
    "p, li { font-size: 11pt; line-height: 140%; }"
    "p.lead { color: #444444; font-size: 12pt; }";

bool Write(const QString& folder, int language) {
  helpgen::HelpText help = helpgen::HelpFor(language);
  QString path = QDir(folder).filePath(QString::fromUtf8(help.fileName));
  QPdfWriter writer(path);
  writer.setTitle(QStringLiteral("Tirvan"));
  writer.setCreator(QStringLiteral("Tirvan"));
  writer.setPageSize(QPageSize(QPageSize::A4));
  writer.setPageMargins(QMarginsF(20, 20, 20, 20), QPageLayout::Millimeter);
  writer.setResolution(300);

  QTextDocument doc;
  const char* face = language == 1 ? "Liberation Sans" : language == 0 ? "Noto Sans CJK SC" : "Noto Sans CJK TC";
  QFont font(QString::fromLatin1(face));
  font.setPointSize(11);
  doc.setDefaultFont(font);
  doc.setDefaultStyleSheet(QString::fromLatin1(kStyle));
  doc.setHtml(help.html);
  doc.print(&writer);
  if (!QFileInfo(path).isFile()) {
    std::fprintf(stderr, "helpgen: cannot write %s\n", qUtf8Printable(path));
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: tirvan-helpgen FOLDER\n");
    return 2;
  }
  QString folder = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(folder);
  bool ok = true;
  for (int language : {0, 1, 2}) ok = Write(folder, language) && ok;
  return ok ? 0 : 1;
}
