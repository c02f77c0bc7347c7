#include "settings/store/stringgrid.h"

#include <QTableWidgetItem>

#include <algorithm>

EInvalidGridOperation::EInvalidGridOperation() : Exception("Indice de grille hors limites") {}

TStringGrid::TStringGrid(TComponent* owner, QWidget* parent, const char* name)
    : TControl<QTableWidget>(owner, parent, name) {
  setColumnCount(5);
  setRowCount(5);
  ShowCurrent();
  // A cell the user picks becomes the current cell, if the handler allows it.
  QObject::connect(this, &QTableWidget::currentCellChanged, this,
                   [this](int row, int col, int, int) {
                     if (syncing_ || row < 0 || col < 0 || (row == row_ && col == col_)) return;
                     Guarded([&] { MoveTo(col, row); });
                     ShowCurrent();
                   });
}

void TStringGrid::SetColCount(int count) {
  if (count == ColCount()) return;
  if (count <= 0) count = 1;
  if (fixed_cols_ >= count) fixed_cols_ = count - 1;
  syncing_ = true;
  setColumnCount(count);
  syncing_ = false;
  ClampCurrent();
}

void TStringGrid::SetRowCount(int count) {
  if (count == RowCount()) return;
  if (count <= 0) count = 1;
  if (fixed_rows_ >= count) fixed_rows_ = count - 1;
  syncing_ = true;
  setRowCount(count);
  syncing_ = false;
  ClampCurrent();
}

void TStringGrid::SetFixedCols(int count) {
  fixed_cols_ = std::clamp(count, 0, ColCount() - 1);
}

void TStringGrid::SetFixedRows(int count) {
  fixed_rows_ = std::clamp(count, 0, RowCount() - 1);
}

void TStringGrid::SetCol(int col) {
  if (col != col_) MoveTo(col, row_);
}

void TStringGrid::SetRow(int row) {
  if (row != row_) MoveTo(col_, row);
}

void TStringGrid::MoveTo(int col, int row) {
  if (col < 0 || row < 0 || col >= ColCount() || row >= RowCount()) throw EInvalidGridOperation();
  bool can_select = true;
  if (OnSelectCell) OnSelectCell(this, col, row, can_select);
  if (!can_select) return;
  col_ = col;
  row_ = row;
  ShowCurrent();
}

void TStringGrid::ShowCurrent() {
  syncing_ = true;
  setCurrentCell(row_, col_);
  syncing_ = false;
}

void TStringGrid::ClampCurrent() {
  col_ = std::min(col_, ColCount() - 1);
  row_ = std::min(row_, RowCount() - 1);
  ShowCurrent();
}

QString TStringGrid::Cells(int col, int row) const {
  if (col < 0 || row < 0 || col >= ColCount() || row >= RowCount()) return QString();
  const QTableWidgetItem* cell = item(row, col);
  return cell ? cell->text() : QString();
}

void TStringGrid::SetCells(int col, int row, const QString& text) {
  if (col < 0 || row < 0 || col >= ColCount() || row >= RowCount()) throw EInvalidGridOperation();
  if (QTableWidgetItem* cell = item(row, col)) {
    cell->setText(text);
  } else {
    setItem(row, col, new QTableWidgetItem(text));
  }
}
