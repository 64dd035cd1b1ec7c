// The step-group rule on its own: records are taken only when a group with children is
// disabled, repeated requests change nothing, and children without a record are enabled.
#include "app/TStepGroupBox.h"

#include <QPushButton>
#include <gtest/gtest.h>

namespace {
bool Own(const QWidget* w) {
    return !w->testAttribute(Qt::WA_ForceDisabled);
}
} // namespace

TEST(StepGroupBox, RepeatedRequestKeepsTheFirstRecord) {
    TStepGroupBox group(QStringLiteral("g"));
    auto* button = new QPushButton(&group);
    group.SetStepEnabled(false); // records: enabled
    EXPECT_FALSE(Own(button)) << "the child's own flag is cleared, not only hidden by the group";
    group.SetStepEnabled(false); // already disabled: must not re-record the cleared flag
    group.SetStepEnabled(true);
    EXPECT_TRUE(button->isEnabled());

    button->setEnabled(false);
    group.SetStepEnabled(true); // already enabled: must not touch the child
    EXPECT_FALSE(button->isEnabled());
}

TEST(StepGroupBox, ChildrenWithoutRecordAreEnabled) {
    TStepGroupBox empty(QStringLiteral("built disabled"));
    empty.SetStepEnabled(false); // no children yet: no record
    auto* late = new QPushButton(&empty);
    late->setEnabled(false);
    empty.SetStepEnabled(true);
    EXPECT_TRUE(late->isEnabled());

    TStepGroupBox group(QStringLiteral("g"));
    auto* first = new QPushButton(&group);
    first->setEnabled(false);
    group.SetStepEnabled(false); // records first as disabled
    auto* added = new QPushButton(&group);
    added->setEnabled(false);
    group.SetStepEnabled(true);
    EXPECT_FALSE(first->isEnabled());
    EXPECT_TRUE(added->isEnabled());
}

TEST(StepGroupBox, DeletedChildLeavesNoStaleRecord) {
    TStepGroupBox group(QStringLiteral("g"));
    auto* doomed = new QPushButton(&group);
    doomed->setEnabled(false);
    group.SetStepEnabled(false);
    delete doomed;
    // A new child may reuse the freed address; it has no record and must come up enabled.
    auto* fresh = new QPushButton(&group);
    fresh->setEnabled(false);
    group.SetStepEnabled(true);
    EXPECT_TRUE(fresh->isEnabled());
}
