// CLogPane: the event log pane (control 1016): read-only, no wrapping, both
// scroll bars. Each line goes in at the selection (replacing it when the
// operator selected text), the view scrolls to the end, and the pane is
// emptied before a line that finds more than 1000 lines. Releasing the right
// mouse button inside the pane offers "清除".
// Thread safety: GUI thread only.
#pragma once

#include <QPlainTextEdit>
#include <QString>
#include <QStringList>

namespace velmo {

class CLogPane : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit CLogPane(QWidget* parent = nullptr);

  // One line (ending in "\n") at the selection.
  void AppendLine(const QString& line) { AppendLines({line}); }
  // Lines in order, as one insertion: the 1000-line rule is applied line by
  // line as if each were appended alone.
  void AppendLines(const QStringList& lines);
  // "清除": empties the pane.
  void ClearLog();
  // The line count as the pane counts it: 1 when empty, one more per "\n".
  int LineCount() const { return blockCount(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace velmo
