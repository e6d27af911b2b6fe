// Child processes on QProcess: a child learns of its parent's death from the kernel
// (PR_SET_PDEATHSIG) and inherits none of its descriptors, so a supervisor killed outright leaves
// no worker and no open connection behind.
#include "children.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <csignal>
#include <fcntl.h>
#include <linux/close_range.h>
#include <map>
#include <memory>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

struct Child {
    std::unique_ptr<QProcess> process;
    ChildEndedCallback ended = nullptr;
    void *data = nullptr;
};

std::map<int, Child> children;

// Runs in the child between fork and exec: only async-signal-safe calls. None of this process's
// descriptors may live on in the child: a connection held by a child outlives this process's
// death, and the peer never learns of it.
void prepareChild() {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int FIRST_TO_CLOSE = 3;
    const int LAST_TO_CLOSE = 65535;
    if (::close_range(FIRST_TO_CLOSE, ~0u, CLOSE_RANGE_CLOEXEC) != 0)
        for (int fd = FIRST_TO_CLOSE; fd <= LAST_TO_CLOSE; ++fd)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}
int nextHandle = 1;
std::string lastError;

} // namespace

int StartChild(const char *program, const char *const *arguments, const char *const *environment,
               ChildEndedCallback ended, void *data) {
    QStringList list;
    for (const char *const *argument = arguments; argument && *argument; ++argument)
        list << QString::fromLocal8Bit(*argument);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *const *entry = environment; entry && *entry; ++entry) {
        const QString text = QString::fromLocal8Bit(*entry);
        env.insert(text.section('=', 0, 0), text.section('=', 1));
    }
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setChildProcessModifier(prepareChild);
    process->start(QString::fromLocal8Bit(program), list);
    if (!process->waitForStarted()) {
        lastError = std::string(program) + ": " + process->errorString().toStdString();
        return -1;
    }
    const int handle = nextHandle++;
    QObject::connect(
        process.get(), &QProcess::finished, [handle](int exitCode, QProcess::ExitStatus status) {
            const auto found = children.find(handle);
            if (found == children.end())
                return;
            const ChildEndedCallback callback = found->second.ended;
            void *callbackData = found->second.data;
            found->second.process.release()->deleteLater();
            children.erase(found);
            if (callback)
                callback(handle, status == QProcess::NormalExit ? exitCode : -1, callbackData);
        });
    children[handle] = Child{std::move(process), ended, data};
    return handle;
}

int StopChild(int child, double timeoutSeconds) {
    const auto found = children.find(child);
    if (found == children.end())
        return -2;
    std::unique_ptr<QProcess> process = std::move(found->second.process);
    children.erase(found);
    process->disconnect();
    process->terminate();
    if (!process->waitForFinished(int(timeoutSeconds * 1000))) {
        process->kill();
        process->waitForFinished();
    }
    return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
}

const char *GetChildError(void) {
    return lastError.c_str();
}
