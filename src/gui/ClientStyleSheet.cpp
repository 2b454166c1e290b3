#include "gui/ClientStyleSheet.h"

namespace veltrix {

QString clientStyleSheet() {
    return QStringLiteral(R"(
QWidget { background-color: #1a1a2e; color: #e0e0e0; font-size: 13px; }
QLabel, QCheckBox, QRadioButton { background: transparent; }
QMainWindow, QDialog { background-color: #1a1a2e; }
QMessageBox { background-color: #16213e; }
QMessageBox QLabel { color: #e0e0e0; }
QToolTip { background-color: #16213e; color: #e0e0e0; border: 1px solid #2a3a5e; padding: 3px 6px; border-radius: 4px; }

QGroupBox { border: 1px solid #2a3a5e; border-radius: 6px; margin-top: 10px; padding: 10px 8px 8px 8px; color: #8892b0; }
QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; padding: 0 6px; font-size: 10px; color: #8892b0; }

QPushButton { background-color: #1e2d4a; color: #e0e0e0; border: 1px solid #2a3a5e; border-radius: 5px; padding: 5px 14px; }
QPushButton:hover { background-color: #2a3a5e; border-color: #4da6ff; }
QPushButton:pressed { background-color: #3a4a6e; }
QPushButton:disabled { background-color: #111827; color: #4a5568; border-color: #1e2d4a; }
QPushButton#primaryButton { background-color: #4da6ff; color: #0d1b2a; font-weight: bold; border: none; padding: 8px 14px; }
QPushButton#primaryButton:hover { background-color: #74bcff; }
QPushButton#primaryButton:pressed { background-color: #2a8fff; }
QPushButton#primaryButton:disabled { background-color: #1e3a5e; color: #4a5568; }
QPushButton#flatButton { background: transparent; border: none; color: #8892b0; padding: 4px; }
QPushButton#flatButton:hover { background-color: #1e2d4a; color: #4da6ff; }

QLineEdit, QComboBox { background-color: #0d1b2a; color: #e0e0e0; border: 1px solid #2a3a5e; border-radius: 5px; padding: 6px 10px; selection-background-color: #4da6ff; selection-color: #0d1b2a; }
QLineEdit:focus, QComboBox:focus { border-color: #4da6ff; }
QComboBox::drop-down { border: none; width: 22px; }
QComboBox::down-arrow { image: url(:/icons/expand_more); width: 16px; height: 16px; }
QComboBox QAbstractItemView { background-color: #0d1b2a; border: 1px solid #2a3a5e; selection-background-color: #4da6ff; selection-color: #0d1b2a; }

QTabWidget::pane { border: 1px solid #2a3a5e; background-color: #16213e; border-radius: 5px; }
QTabBar::tab { background-color: #0d1b2a; color: #8892b0; padding: 7px 16px; border-top-left-radius: 5px; border-top-right-radius: 5px; margin-right: 2px; }
QTabBar::tab:selected { background-color: #16213e; color: #e0e0e0; border-bottom: 2px solid #4da6ff; }
QTabBar::tab:hover:!selected { background-color: #1e2d4a; color: #e0e0e0; }

QScrollBar:vertical { background: #0d1b2a; width: 7px; border-radius: 4px; }
QScrollBar:horizontal { background: #0d1b2a; height: 7px; border-radius: 4px; }
QScrollBar::handle { background: #2a3a5e; border-radius: 4px; }
QScrollBar::handle:vertical { min-height: 20px; }
QScrollBar::handle:horizontal { min-width: 20px; }
QScrollBar::handle:hover { background: #4da6ff; }
QScrollBar::add-line, QScrollBar::sub-line { width: 0; height: 0; }

QTreeView, QListView, QTreeWidget, QListWidget { background-color: #0d1b2a; color: #e0e0e0; border: 1px solid #2a3a5e; border-radius: 5px; alternate-background-color: #111827; }
QTreeView::item:selected, QListView::item:selected { background-color: #4da6ff; color: #0d1b2a; }
QTreeView::item:hover:!selected, QListView::item:hover:!selected { background-color: #1e2d4a; }
QHeaderView::section { background-color: #16213e; color: #8892b0; border: none; border-bottom: 1px solid #2a3a5e; padding: 5px 8px; font-size: 11px; }

QCheckBox::indicator { width: 16px; height: 16px; border: 1px solid #2a3a5e; border-radius: 3px; background-color: #0d1b2a; }
QCheckBox::indicator:hover { border-color: #4da6ff; }
QCheckBox::indicator:checked { background-color: #4da6ff; border-color: #4da6ff; }

QSpinBox { background-color: #0d1b2a; color: #e0e0e0; border: 1px solid #2a3a5e; border-radius: 5px; padding: 4px 8px; }
QSpinBox:focus { border-color: #4da6ff; }
QSpinBox::up-button, QSpinBox::down-button { background-color: #1e2d4a; border: none; }

QProgressBar { background-color: #0d1b2a; border: 1px solid #2a3a5e; border-radius: 4px; text-align: center; color: #e0e0e0; font-size: 11px; }
QProgressBar::chunk { background-color: #4da6ff; border-radius: 4px; }

QToolBar { background-color: #0d1b2a; border-bottom: 1px solid #2a3a5e; spacing: 4px; padding: 3px 6px; }
QToolBar QToolButton { color: #8892b0; padding: 4px 10px; border-radius: 4px; border: none; }
QToolBar QToolButton:hover { background-color: #1e2d4a; color: #e0e0e0; }
QToolBar QToolButton:pressed { background-color: #2a3a5e; }
QToolBar QToolButton:disabled { color: #4a5568; }

QSplitter::handle { background-color: #2a3a5e; }
QFrame[frameShape="4"], QFrame[frameShape="5"] { background-color: #2a3a5e; }
)");
}

}  // namespace veltrix
