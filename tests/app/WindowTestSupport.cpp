#include "WindowTestSupport.h"

#include <QDesktopServices>

TUrlRecorder::TUrlRecorder(const QString& scheme) : m_scheme(scheme) {
    QDesktopServices::setUrlHandler(scheme, this, "open");
}

TUrlRecorder::~TUrlRecorder() {
    QDesktopServices::unsetUrlHandler(m_scheme);
}

TEnvOverride::TEnvOverride(const char* name, const QByteArray& value) : m_name(name) {
    if (qEnvironmentVariableIsSet(name))
        m_old = qgetenv(name);
    qputenv(name, value);
}

TEnvOverride::~TEnvOverride() {
    if (m_old)
        qputenv(m_name, *m_old);
    else
        qunsetenv(m_name);
}

QStringList TFakeFileManager::Shown() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_shown;
}

void TFakeFileManager::ShowItems(const QStringList& uris, const QString&) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_shown += uris;
}
