#pragma once

#include <QString>

// Where the tests find the build tree, the sources and the generated media fixtures.
namespace testpaths {
QString buildDir();
QString sourceDir();
QString fixture(const QString& name); // full path of a generated fixture
} // namespace testpaths
