#pragma once
// A step group of the main window. The groups are switched as a whole while each child keeps
// its own enabled flag: disabling records every child's own flag and then disables the child;
// enabling enables each child recorded as enabled and each child without a record. The record
// stays empty until the group is disabled while it has children, so a group disabled before its
// children were added enables all of them the first time it is enabled.

#include <QGroupBox>
#include <QList>
#include <QPointer>

class TStepGroupBox : public QGroupBox {
    Q_OBJECT
public:
    explicit TStepGroupBox(const QString& title, QWidget* parent = nullptr);

    // Setting the state the group already has does nothing (the record is kept as it is).
    void SetStepEnabled(bool enabled);
    bool StepEnabled() const; // the group's own flag, not inherited from its parents

private:
    struct TChildRecord {
        QPointer<QWidget> child; // guarded so a deleted child can never match a new one
        bool enabled;            // the child's own flag when the group was last disabled
    };
    const TChildRecord* RecordOf(const QWidget* child) const;

    QList<TChildRecord> m_records;
};
