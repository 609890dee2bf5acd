#pragma once

#include <QString>

// Starts a companion program from the program folder, or opens its product page in the default
// browser when the program is not there.
void LaunchTool(const QString& fileName, const QString& pageAddress);
