#include "fuzztargets.h"
#include "fuzzcheck.h"

#include "updatestate.h"

#include <QByteArray>

#include <cstdio>
#include <cstdlib>

void fuzzStateFile(const uint8_t *data, size_t size)
{
    const QByteArray bytes
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    UpdateState state;
    QString why;
    if (!UpdateState::parse(bytes, &state, &why)) {
        check(!why.isEmpty(), "state refused without a reason");
        return;
    }
    check(state.highestSigned() >= 0, "negative signed time");
    const UpdateState::TrialRecord trial = state.trial();
    check(trial.confirm >= 0 && trial.launches >= 0, "negative count in the trial");
    for (const qint64 at : trial.started)
        check(at >= 0, "negative launch time");
    // What is accepted is written back as a state that reads the same.
    const QByteArray written = state.toJson();
    UpdateState again;
    check(UpdateState::parse(written, &again, &why), "a written state is refused");
    // (Fields it does not know are kept as Qt keeps them; only its own are compared.)
    check(again.highestVersion() == state.highestVersion()
            && again.highestSigned() == state.highestSigned()
            && again.manifestVerified() == state.manifestVerified()
            && again.badVersions() == state.badVersions(),
        "a written state reads differently");
    check(again.trial() == trial && again.pendingTrial() == state.pendingTrial(),
        "the trial changed on the way");
}
