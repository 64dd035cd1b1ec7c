#include "app/TStepGroupBox.h"

namespace {
// The child's own flag: Qt marks an explicitly disabled widget with WA_ForceDisabled, whereas a
// widget disabled only because a parent is disabled does not carry it.
bool OwnEnabled(const QWidget* w) {
    return !w->testAttribute(Qt::WA_ForceDisabled);
}

QList<QWidget*> ChildControls(QWidget* group) {
    QList<QWidget*> controls;
    for (QWidget* w : group->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (!w->isWindow())
            controls.append(w);
    }
    return controls;
}
} // namespace

TStepGroupBox::TStepGroupBox(const QString& title, QWidget* parent) : QGroupBox(title, parent) {}

bool TStepGroupBox::StepEnabled() const {
    return OwnEnabled(this);
}

const TStepGroupBox::TChildRecord* TStepGroupBox::RecordOf(const QWidget* child) const {
    for (const TChildRecord& r : m_records) {
        if (r.child == child)
            return &r;
    }
    return nullptr;
}

void TStepGroupBox::SetStepEnabled(bool enabled) {
    if (enabled == StepEnabled())
        return;
    const QList<QWidget*> children = ChildControls(this);
    if (enabled) {
        for (QWidget* w : children) {
            const TChildRecord* r = RecordOf(w);
            if (!r || r->enabled)
                w->setEnabled(true);
        }
        setEnabled(true);
        return;
    }
    if (!children.isEmpty()) {
        m_records.clear();
        for (QWidget* w : children)
            m_records.append({w, OwnEnabled(w)});
        for (QWidget* w : children)
            w->setEnabled(false);
    }
    setEnabled(false);
}
