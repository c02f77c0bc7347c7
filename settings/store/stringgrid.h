#pragma once
// A grid of texts with fixed leading rows and columns and a current cell, the
// way the window framework's string grid behaves, on a Qt table.

#include <QString>
#include <QTableWidget>

#include <functional>

#include "base/errors.h"
#include "framework/forms.h"

// A grid coordinate outside the grid: "Indice de grille hors limites".
class EInvalidGridOperation : public Exception {
 public:
  EInvalidGridOperation();
};

// A named string grid: 5 x 5 cells, one fixed row and column, current cell (1, 1).
class TStringGrid : public TControl<QTableWidget> {
 public:
  TStringGrid(TComponent* owner, QWidget* parent, const char* name);

  // Columns, fixed ones included.
  int ColCount() const { return columnCount(); }
  // Below 1 becomes 1; fixed columns shrink to stay below the count.
  void SetColCount(int count);
  // Rows, fixed ones included.
  int RowCount() const { return rowCount(); }
  // Below 1 becomes 1; fixed rows shrink to stay below the count.
  void SetRowCount(int count);
  // Leading columns that do not scroll.
  int FixedCols() const { return fixed_cols_; }
  // Kept between 0 and the column count minus one.
  void SetFixedCols(int count);
  // Leading rows that do not scroll.
  int FixedRows() const { return fixed_rows_; }
  // Kept between 0 and the row count minus one.
  void SetFixedRows(int count);

  // Column of the current cell, from 0.
  int Col() const { return col_; }
  // Moves the current cell; outside the grid raises EInvalidGridOperation.
  void SetCol(int col);
  // Row of the current cell, from 0.
  int Row() const { return row_; }
  // Moves the current cell; outside the grid raises EInvalidGridOperation.
  void SetRow(int row);

  // A cell's text; empty when never set or outside the grid.
  QString Cells(int col, int row) const;
  // Sets a cell's text; outside the grid raises EInvalidGridOperation.
  void SetCells(int col, int row, const QString& text);

  // Asked before the current cell moves; clearing CanSelect keeps it where it is.
  std::function<void(TObject* Sender, int col, int row, bool& CanSelect)> OnSelectCell;

 private:
  void MoveTo(int col, int row);
  void ShowCurrent();
  void ClampCurrent();

  int fixed_cols_ = 1;
  int fixed_rows_ = 1;
  int col_ = 1;
  int row_ = 1;
  bool syncing_ = false;
};
