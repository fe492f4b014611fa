#pragma once

#include <QIcon>
#include <QLatin1String>
#include <QSize>
#include <QString>

// The client's pictures, compiled in from its resource file.
namespace lumo_upl::pictures {

inline QString path(const char* name) {
    return QStringLiteral(":/lumo_uploader/Resources/") + QLatin1String(name);
}

inline QIcon icon(const char* name) {
    return QIcon(path(name));
}

// A button's picture, and another while the pointer is on it.
inline QIcon two_state_icon(const char* normal, const char* active) {
    QIcon both = icon(normal);
    both.addFile(path(active), QSize(), QIcon::Active);
    return both;
}

}  // namespace lumo_upl::pictures
