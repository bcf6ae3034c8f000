#include "templates/MontageLibrarian.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/Log.h"
#include "platform/Path.h"
#include "platform/Sync.h"
#include "platform/appcommon/SettingsDirs.h"
#include "platform/recording/Montage.h"

namespace {

std::atomic<int> g_consoleOwnerOverride{-1};

// A console program started on a terminal of its own (the terminal's session
// is this very process) plays the part of a process that owns its console
// window; one started from a shell or by a host application does not.
bool LeadsSessionOfItsTerminal()
{
    const pid_t self = getpid();
    if (getsid(0) != self)
        return false;
    const int fd = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const pid_t terminalSession = tcgetsid(fd);
    close(fd);
    return terminalSession == self;
}

uint64_t TickMs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void DeleteAll(std::vector<CMontage*>& list)
{
    for (CMontage* m : list)
        delete m;
    list.clear();
}

} // namespace

struct CMontageLibrarian::Sync {
    sk::CriticalSection lock;
    sk::Event stop{sk::Event::AutoReset, false};
    // Set once the loader has finished, stopped or skipped the load (or could
    // not start): readers wait for it, so one that comes before the loader
    // has taken the lock still sees the complete lists.
    sk::Event loaded{sk::Event::ManualReset, false};
    sk::Thread loader;
    bool skipLoad = false; // the process owns its console
};

void CMontageLibrarian::SetConsoleOwnerOverride(int value)
{
    g_consoleOwnerOverride.store(value < 0 ? -1 : (value ? 1 : 0));
}

bool CMontageLibrarian::ProcessOwnsConsole()
{
    const int forced = g_consoleOwnerOverride.load();
    if (forced >= 0)
        return forced == 1;
    if (const char* env = std::getenv("SKRIVO_CONSOLE_OWNER")) {
        if (std::strcmp(env, "1") == 0)
            return true;
        if (std::strcmp(env, "0") == 0)
            return false;
    }
    return LeadsSessionOfItsTerminal();
}

CMontageLibrarian::CMontageLibrarian() : m_sync(std::make_unique<Sync>())
{
    m_sync->skipLoad = ProcessOwnsConsole();
    if (!m_sync->loader.Create([this] { return LoaderThreadProc(this); }) || !m_sync->loader.Resume())
        m_sync->loaded.Set();
}

CMontageLibrarian::~CMontageLibrarian()
{
    // The loader may not have taken the lock yet; taking the lock alone could
    // free the lists under a loader that is about to start.
    m_sync->loader.Join(sk::kInfinite);
    sk::CriticalSectionLock hold(m_sync->lock);
    DeleteAll(m_eegMontages);
    DeleteAll(m_sleepMontages);
}

void CMontageLibrarian::RequestStop()
{
    m_sync->stop.Set();
}

void CMontageLibrarian::GetMontages(bool sleep, int headboxType, std::vector<CMontage*>& out)
{
    m_sync->loaded.Wait(sk::kInfinite);
    sk::CriticalSectionLock hold(m_sync->lock);
    for (CMontage* m : sleep ? m_sleepMontages : m_eegMontages) {
        if (m->IsApplicable(headboxType))
            out.push_back(m);
    }
}

unsigned CMontageLibrarian::LoaderThreadProc(void* arg)
{
    auto* self = static_cast<CMontageLibrarian*>(arg);
    if (!self->m_sync->skipLoad) {
        sk::CriticalSectionLock hold(self->m_sync->lock);
        try {
            self->Load();
        } catch (...) {
            // Out of memory: keep what was loaded; the editor simply offers less.
            SKLOG(8, L"CMontageLibrarian::Load - thrown exception, loading stopped.");
        }
    }
    self->m_sync->loaded.Set();
    return 0;
}

void CMontageLibrarian::Load()
{
    struct Entry {
        std::wstring folder;
        std::vector<CMontage*>* list;
    };
    const Entry entries[] = {
        {GetAppSettingsDirByStudyMode(true, STUDY_MODE_EEG), &m_eegMontages},
        {GetUserSettingsDir(true), &m_eegMontages},
        {GetAppSettingsDirByStudyMode(true, STUDY_MODE_SLEEP), &m_sleepMontages},
        {GetUserSettingsSleepDir(true), &m_sleepMontages},
    };
    for (const Entry& entry : entries) {
        for (const std::wstring& file : sk::path::FindFiles(entry.folder, L"*.mtg")) {
            if (m_sync->stop.Wait(0) == sk::WaitResult::Signalled)
                return;
            const uint64_t start = TickMs();
            auto montage = std::make_unique<CMontage>(0);
            const int result = montage->Load(file);
            const int elapsed = static_cast<int>(TickMs() - start);
            // A file that did not load has no montage name; its file name
            // still tells which one it was.
            const std::wstring& name = montage->GetMontageName();
            SKLOG(1, L"CMontageLibrarian::Load - Montage '%s' load time: %d ms",
                  (name.empty() ? sk::path::FileNamePart(file) : name).c_str(), elapsed);
            if (result == 0) {
                entry.list->push_back(nullptr);
                entry.list->back() = montage.release();
            }
        }
    }
}
