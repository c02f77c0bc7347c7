#pragma once
// What a drag from a file manager gives the folder field.

#include <QMimeData>
#include <Qt>

#include <optional>
#include <string>

// The folder named by the first local file or folder a drag carries (a file
// gives the folder that holds it), as the file system's bytes: a name in no
// character set is kept whole. None when the drag carries no local path.
std::optional<std::string> DroppedFolder(const QMimeData& data);
// The action a drop of names is taken with: a copy, else a link, never a
// move, after which the file manager would delete what was dragged. None
// (Qt::IgnoreAction) when the source offers neither.
Qt::DropAction NameDropAction(Qt::DropActions offered);
