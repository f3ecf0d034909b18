#include "ui/qt/file_dialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QStringList>

namespace zevuvuri::ui::qt {
namespace {

QString ToQString(std::wstring_view text) {
  return QString::fromWCharArray(text.data(), static_cast<qsizetype>(text.size()));
}

// Qt takes a filter's patterns from the parentheses of its label, but the
// label shows "(*.bin)" while the filter also matches *.hex: the patterns are
// given to the dialog's file list directly, after Qt has set its own.
void MatchPatterns(QFileDialog& dialog, const QStringList& patterns) {
  if (auto* model = dialog.findChild<QFileSystemModel*>()) model->setNameFilters(patterns);
}

}  // namespace

std::optional<std::wstring> QtFileDialog::ChooseFile(const FileDialogRequest& request) {
  QFileDialog dialog(parent_, QStringLiteral("Open"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setNameFilter(ToQString(request.filter_label));
  const QStringList patterns = ToQString(request.filter_patterns).split(u';', Qt::SkipEmptyParts);
  QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                   [&dialog, &patterns](const QString&) { MatchPatterns(dialog, patterns); });
  // The folder and the name of the path chosen last, as the platform's dialog
  // opens on the name it is handed.
  if (!request.initial_path.empty()) dialog.selectFile(ToQString(request.initial_path));
  MatchPatterns(dialog, patterns);

  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return std::nullopt;
  return QFileInfo(chosen.front()).absoluteFilePath().toStdWString();
}

}  // namespace zevuvuri::ui::qt
