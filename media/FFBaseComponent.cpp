#include "media/FFBaseComponent.h"

TFFBaseComponent::TFFBaseComponent(TLibrarySet libraries, QObject* parent)
    : TFFEventTrigger(parent), FLibraries(libraries) {}

TFFBaseComponent::~TFFBaseComponent() = default;

bool TFFBaseComponent::LibrariesLoaded() const {
    return FFLoader().LibsLoaded(FLibraries);
}

bool TFFBaseComponent::LoadLibraries(const QString& path) {
    TFFLoader& loader = FFLoader();
    loader.SetLibraryPath(path);
    if (loader.LoadLibs(FLibraries))
        return true;
    FLastErrorText = QString::fromLocal8Bit(loader.LastError());
    return false;
}
