#include "window/qt/LogPane.h"

#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>

#include "platform/EventLog.h"

namespace velmo {

CLogPane::CLogPane(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setUndoRedoEnabled(false);
  setContextMenuPolicy(Qt::PreventContextMenu);  // its one menu opens on release, below; not the dialog's
  viewport()->installEventFilter(this);
}

void CLogPane::AppendLines(const QStringList& lines) {
  if (lines.isEmpty()) return;
  // Count as the pane would after each line; what an emptying would remove
  // is never inserted.
  int count = LineCount();
  bool clear = false;
  QString text;
  for (const QString& line : lines) {
    if (MustClearBeforeAppend(count)) {
      clear = true;
      text.clear();
      count = 1;
    }
    text += line;
    count += static_cast<int>(line.count('\n'));
  }
  if (clear) ClearLog();
  QTextCursor cursor = textCursor();
  cursor.insertText(text);  // replaces the selection, if any
  setTextCursor(cursor);
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void CLogPane::ClearLog() {
  clear();
}

bool CLogPane::eventFilter(QObject* watched, QEvent* event) {
  if (watched == viewport() && event->type() == QEvent::MouseButtonRelease) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() == Qt::RightButton) {
      QMenu menu(this);
      menu.addAction(QString::fromUtf8("清除"), this, &CLogPane::ClearLog);
      menu.exec(mouse->globalPosition().toPoint());
    }
  }
  return QPlainTextEdit::eventFilter(watched, event);
}

}  // namespace velmo
