#pragma once
// Loads every montage file (".mtg") of the application's and the user's
// settings folders once, on a thread of its own started at construction, and
// answers which montages fit a headbox type. The loader holds the librarian's
// lock for the whole load, so a reader that comes early waits for the load to
// finish (or to stop after RequestStop).
//
// A process that owns its console window (a console program started on a
// console of its own rather than from a shell or by a host application)
// loads nothing. Outside Windows the stand-in for that test is: the process
// leads its own session and is the session that owns its controlling
// terminal. The environment variable SKRIVO_CONSOLE_OWNER ("1" / "0") and
// SetConsoleOwnerOverride force the answer either way; the override wins.

#include <memory>
#include <vector>

#include "platform/SkrivoExport.h"

class CMontage;

class SKRIVO_API CMontageLibrarian {
public:
    CMontageLibrarian();
    // Waits until the loader thread has finished, then destroys the montages.
    // Call RequestStop first to cut a running load short.
    ~CMontageLibrarian();
    CMontageLibrarian(const CMontageLibrarian&) = delete;
    CMontageLibrarian& operator=(const CMontageLibrarian&) = delete;

    // Asks the loader to stop before its next file.
    void RequestStop();

    // Appends, in list order, every montage of the sleep or the EEG list that
    // applies to the headbox type. Waits while the load runs. The montages
    // stay owned by the librarian.
    void GetMontages(bool sleep, int headboxType, std::vector<CMontage*>& out);

    // Process-wide answer of the console-owner test for librarians created
    // afterwards: -1 = decide from the environment and the terminal (the
    // default), 0 = never the owner, 1 = always the owner.
    static void SetConsoleOwnerOverride(int value);
    // The answer the next librarian would get.
    static bool ProcessOwnsConsole();

private:
    static unsigned LoaderThreadProc(void* librarian);
    void Load();

    std::vector<CMontage*> m_eegMontages;
    std::vector<CMontage*> m_sleepMontages;
    struct Sync; // lock, stop event, loader thread
    std::unique_ptr<Sync> m_sync;
};
