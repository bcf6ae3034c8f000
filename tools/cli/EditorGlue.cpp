// Bringing up the Qt template editor from the command line, which has no
// event loop of its own. Qt ends the process when its platform cannot reach
// the display it was told about, so the display is tried here first and a
// missing or silent one becomes a message.

#include "EditorGlue.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "platform/KeyTree.h"
#include "platform/TextConv.h"
#include "platform/appcommon/HeadboxConfig.h"
#include "platform/recording/MultipleBOSupport.h"
#include "templates/SkrivoTemplate.h"

#ifdef SKRIVO_HAVE_EDITOR
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QLibraryInfo>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "editor/EditorControlIds.h"
#include "editor/StandaloneEditor.h"
#include "editor/TemplateEditorHost.h"
#endif

namespace sk::cli {

namespace {

// Breakout boxes of a multi-breakout headbox that hold every channel the
// template lists.
int BreakoutsFor(const CSkrivoTemplate& tmpl) {
    const CItemList* entries = AsItemList(tmpl.GetAt(CSkrivoTemplate::kChannelsSelected));
    CDataReaderMultipleBOSupport mapper;
    constexpr int kMostBreakouts = 8;
    for (int breakouts = 2; breakouts <= kMostBreakouts; ++breakouts) {
        if (!mapper.setHeadboxType(CDataReaderMultipleBOSupport::kMultiBreakoutHeadboxType, breakouts, nullptr))
            continue;
        bool all = true;
        for (int i = 0; entries && all && i < entries->GetCount(); ++i) {
            const CKeyTree* e = AsKeyTree(entries->GetChild(i));
            all = !e || mapper.ChannelNumber_ConfigurationToStorage(IntOf(e->GetAt(CSkrivoTemplate::kEntryIndex), 0)) >= 0;
        }
        if (all) return breakouts;
    }
    return kMostBreakouts;
}

} // namespace

CKeyTree StandInStudy(const CSkrivoTemplate& tmpl) {
    const int headboxType = tmpl.GetHeadboxType();
    const bool sleep = sk::EqualsIgnoreCase(tmpl.GetModality(), L"Sleep");
    CKeyTree study;
    study.AddKey(L"Headbox.HB0.HBType", int32_t{headboxType});
    study.AddKey(L"Study.StudyGroup", int32_t{sleep ? 2 : 1});
    study.AddKey(L"Decimated.Samples.Frequency", 64.0);
    if (tmpl.GetChannelDefinition() != CSkrivoTemplate::ChannelsRawData) {
        auto montage = std::make_unique<CKeyTree>();
        tmpl.GetMontage(*montage);
        if (montage->GetCount() > 0) study.AddKey(L"Montage", montage.release());
    }

    std::unique_ptr<CKadeHeadbox> headbox = CKadeHeadboxConfig::CreateHeadbox(headboxType);
    if (!headbox) return study;
    const CKeyTree& config = headbox->GetConfiguration();
    const CItemList* names = sleep ? AsItemList(config.GetAt(L"DefaultSleepChanNameList")) : nullptr;
    if (!names || names->GetCount() == 0) names = AsItemList(config.GetAt(L"DefaultChanNameList"));
    if (!names) return study;

    CDataReaderMultipleBOSupport mapper;
    const bool multi = headboxType == CDataReaderMultipleBOSupport::kMultiBreakoutHeadboxType;
    if (multi) {
        const int breakouts = BreakoutsFor(tmpl);
        study.AddKey(L"Headbox.HB0.Breakouts", int32_t{breakouts});
        mapper.setHeadboxType(headboxType, breakouts, nullptr);
    }
    auto raw = std::make_unique<CItemList>();
    for (int c = 0; c < names->GetCount(); ++c) {
        const int storage = multi ? mapper.ChannelNumber_ConfigurationToStorage(c) : c;
        if (storage < 0) continue;
        auto* entry = new CKeyTree();
        entry->AddKey(L"ConfigurationIndex", int32_t{c});
        entry->AddKey(L"StorageIndex", int32_t{storage});
        entry->AddKey(L"Label", std::wstring(AsCStr(names->GetChild(c), L"")));
        raw->Append(entry);
    }
    study.AddKey(L"Channels.Raw", raw.release());
    return study;
}

#ifndef SKRIVO_HAVE_EDITOR

namespace {

std::filesystem::path EditorProgram() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : self.parent_path() / "skrivo-editor";
}

} // namespace

void RunInEditorProgram(char** argv) {
    const std::filesystem::path program = EditorProgram();
    if (program.empty() || ::access(program.c_str(), X_OK) != 0) return;
    std::fflush(nullptr);
    ::execv(program.c_str(), argv);
}

bool EditorReady(std::string* why) {
    const std::filesystem::path program = EditorProgram();
    *why = "the template editor is not installed (no runnable " +
           (program.empty() ? std::string("skrivo-editor") : program.string()) + ")";
    return false;
}

#else

namespace {

constexpr const char* kNeedsDisplay = "the template editor needs a display (set DISPLAY or run under xvfb-run)";

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

bool ConnectUnix(const std::string& path, bool abstract) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path + offset, path.data(), path.size());
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() +
                                                 (abstract ? 0 : 1));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0;
    close(fd);
    return ok;
}

// A connect that gives up after the timeout instead of waiting for the
// system's (minutes on a host that drops packets).
bool ConnectTcp(const std::string& host, int port, int timeoutMs) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0) return false;
    bool ok = false;
    for (addrinfo* a = list; a && !ok; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            ok = true;
        } else if (errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int err = 0;
            socklen_t len = sizeof err;
            ok = poll(&p, 1, timeoutMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        }
        close(fd);
    }
    freeaddrinfo(list);
    return ok;
}

// True when an X server answers at DISPLAY ([host]:N[.screen]).
bool XServerAnswers(const std::string& display) {
    const size_t colon = display.rfind(':');
    if (colon == std::string::npos || colon + 1 >= display.size()) return false;
    const std::string host = display.substr(0, colon);
    const std::string rest = display.substr(colon + 1);
    size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
    if (digits == 0 || digits > 5 || (digits < rest.size() && rest[digits] != '.')) return false;
    const int number = std::atoi(rest.substr(0, digits).c_str());
    if (host.empty() || host == "unix") {
        const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
        return ConnectUnix(path, true) || ConnectUnix(path, false);
    }
    if (host.front() == '/') return ConnectUnix(display.substr(0, colon), false);
    return ConnectTcp(host, 6000 + number, 2000);
}

bool WaylandAnswers(const std::string& display) {
    if (display.empty()) return false;
    const std::string path = display.front() == '/' ? display : Env("XDG_RUNTIME_DIR") + "/" + display;
    if (!ConnectUnix(path, false)) return false;
    // Qt falls back to X when its Wayland plugin is missing, and ends the
    // process there without DISPLAY.
    const QDir plugins(QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"));
    return !plugins.entryList({QStringLiteral("libqwayland*")}, QDir::Files).isEmpty();
}

// Whether the platform Qt will choose can show a window.
bool PlatformUsable() {
    const std::string platform = Env("QT_QPA_PLATFORM");
    const std::string x = Env("DISPLAY");
    if (platform.empty()) {
        if (!x.empty()) return XServerAnswers(x);
        if (WaylandAnswers(Env("WAYLAND_DISPLAY"))) {
            setenv("QT_QPA_PLATFORM", "wayland", 1);
            return true;
        }
        return false;
    }
    if (platform.rfind("xcb", 0) == 0) return !x.empty() && XServerAnswers(x);
    if (platform.rfind("wayland", 0) == 0) return WaylandAnswers(Env("WAYLAND_DISPLAY"));
    return true; // offscreen, vnc, ...: the user asked for it
}

// SKRIVO_EDITOR_AUTOCLOSE=ok (or cancel) presses that button of every
// editor as soon as it is shown: unattended runs and tests of the command
// line. A message box (a refused OK) is closed, and the editor then
// cancelled, so nothing waits for a hand that never comes.
void InstallAutoClose() {
    const std::string how = Env("SKRIVO_EDITOR_AUTOCLOSE");
    if (how.empty()) return;
    const bool ok = how == "ok" || how == "OK";
    auto* timer = new QTimer(qApp);
    auto refused = std::make_shared<bool>(false);
    QObject::connect(timer, &QTimer::timeout, qApp, [ok, refused] {
        QWidget* w = QApplication::activeModalWidget();
        if (!w) return;
        const int id = ok && !*refused ? sk::editor::IDOK : sk::editor::IDCANCEL;
        // Queued: a click that opens a message box runs its own event loop,
        // and a timer does not fire again while its slot is still running.
        if (auto* b = w->findChild<QAbstractButton*>(sk::editor::ControlName(id)); b && b->isVisible()) {
            QMetaObject::invokeMethod(b, &QAbstractButton::click, Qt::QueuedConnection);
        } else if (auto* d = qobject_cast<QDialog*>(w)) {
            *refused = true;
            QMetaObject::invokeMethod(d, &QDialog::reject, Qt::QueuedConnection);
        }
    });
    timer->start(20);
}

} // namespace

void RunInEditorProgram(char**) {}

bool EditorReady(std::string* why) {
    static int state = 0; // 0 not tried, 1 ready, -1 unusable
    if (state == 0) {
        state = -1;
        if (sk::editor::DisplayAvailable() && PlatformUsable()) {
            // QApplication keeps argc by reference: both must outlive it.
            static int argc = 1;
            static char name[] = "skrivo";
            static char* argv[] = {name, nullptr};
            // Qt's notes about the platform (no runtime folder, window hints
            // the platform ignores) mean nothing to a user of the command line.
            qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
                if (type == QtCriticalMsg || type == QtFatalMsg)
                    std::fprintf(stderr, "skrivo: %s\n", text.toLocal8Bit().constData());
            });
            if (!QCoreApplication::instance()) new QApplication(argc, argv); // lives until the process ends
            if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
                sk::editor::RegisterTemplateEditor();
                InstallAutoClose();
                state = 1;
            }
        }
    }
    if (state < 0) *why = kNeedsDisplay;
    return state > 0;
}

#endif

} // namespace sk::cli

#ifdef SKRIVO_HAVE_EDITOR
// Leak reports of the system's font library, which keeps its caches for the
// life of the process once Qt has asked it for a font, and of the message
// bus library that Qt's X platform connects through, are not ours to fix.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}
#endif
