#pragma once

#include <QString>

// Starts a companion program from the program folder, or opens its product page when the
// program is not there. Not built yet: this does nothing for now.
void LaunchTool(const QString& fileName, const QString& pageAddress);
