#include "app/dropfolder.h"

#include <QByteArray>
#include <QSysInfo>
#include <QUrl>

#include "platform/folders.h"
#include "platform/paths.h"

std::optional<std::string> DroppedFolder(const QMimeData& data) {
  for (const QUrl& url : data.urls()) {
    if (url.scheme() != QLatin1String("file")) continue;
    const QString host = url.host();
    if (!host.isEmpty() && host != QLatin1String("localhost") &&
        host != QSysInfo::machineHostName()) {
      continue;
    }
    // From the encoded path: decoding it as text would turn a byte that is
    // not UTF-8 into a replacement character.
    std::string path =
        QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString();
    if (path.empty() || path.front() != '/') continue;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return IsFolder(path) ? path : FolderOf(path);
  }
  return std::nullopt;
}

Qt::DropAction NameDropAction(Qt::DropActions offered) {
  if (offered & Qt::CopyAction) return Qt::CopyAction;
  if (offered & Qt::LinkAction) return Qt::LinkAction;
  return Qt::IgnoreAction;
}
