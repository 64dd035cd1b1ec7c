#include "common/TestPaths.h"

namespace testpaths {
QString buildDir() { return QStringLiteral(SNIPWAVE_BUILD_DIR); }
QString sourceDir() { return QStringLiteral(SNIPWAVE_SOURCE_DIR); }
QString fixture(const QString& name) { return QStringLiteral(SNIPWAVE_FIXTURE_DIR "/") + name; }
} // namespace testpaths
