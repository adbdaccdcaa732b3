#pragma once

#include <QString>

// Whether a file can go to the desktop's trash (the freedesktop.org trash that
// QFile::moveToTrash uses) by a rename, so that the file manager can restore it: the home trash
// ($XDG_DATA_HOME/Trash) when it is on the file's file system, or else the trash folder at the
// top of the file's own file system ($topdir/.Trash/$uid or $topdir/.Trash-$uid). A file on
// another file system without one cannot be put in a trash; deleting it deletes it for good.
bool CanMoveToTrash(const QString& path);
