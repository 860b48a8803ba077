#ifndef LASTFOLDER_H
#define LASTFOLDER_H

#include <QString>

// Where a save dialog starts: in the folder the user last chose in any of the tool's file
// dialogs during this run. Nothing is stored between runs. GUI thread only.
namespace LastFolder {

// The suggested file, moved into the last folder once one was chosen; as given before that.
QString suggest(const QString &suggested);
// Takes the folder of a chosen file; an empty name (a cancelled dialog) changes nothing.
void remember(const QString &chosen);

} // namespace LastFolder

#endif // LASTFOLDER_H
