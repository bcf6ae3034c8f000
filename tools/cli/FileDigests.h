#pragma once
// SHA-256 of each output file of one study, taken from the bytes on their
// way to the file, so the manifest needs no second pass over a file after
// the export. A digest is kept only for a file that was published (took its
// final name) after its bytes were seen in one pass from offset 0, every
// later write repeating bytes already seen; any other file (salvaged,
// cut, rewritten) has none, and the manifest reads it back.

#include <openssl/evp.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "writer/OutputObserver.h"

namespace sk::cli {

// An incremental SHA-256; Finish gives lowercase hex ("" when the digest is
// not available).
class Sha256 {
public:
    Sha256();
    void Reset();
    void Update(const void* data, size_t size);
    std::string Finish();
    bool Ok() const { return m_ok; }

private:
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> m_ctx;
    bool m_ok = false;
};

class FileDigests final : public sk::OutputObserver {
public:
    struct Digest {
        uint64_t bytes = 0;
        std::string sha256;
    };

    // onThread: digest on a thread of its own while the export goes on (a
    // copy of each run of bytes hands it over); else on the exporting
    // thread, when the exports already keep every processor busy.
    explicit FileDigests(bool onThread);
    ~FileDigests() override;
    FileDigests(const FileDigests&) = delete;
    FileDigests& operator=(const FileDigests&) = delete;

    void Started(const std::wstring& path) override;
    void Wrote(int64_t offset, const void* data, size_t size) override;
    void Resized(int64_t length) override;
    void Ended(bool published) override;

    // The digest of the file at path (as the exporter named it, UTF-8), or
    // null when there is none.
    const Digest* Find(const std::string& path) const;
    // Every file that took its final name, in the order written (UTF-8, as
    // the exporter named them): what this export left in the folder, a
    // salvaged file included, and nothing that was there before.
    const std::vector<std::string>& Published() const { return m_published; }

private:
    static constexpr size_t kBlockSize = 256u << 10;
    static constexpr size_t kBlocks = 4;
    // Bytes from offset 0 kept to compare rewrites with (the header).
    static constexpr size_t kKeptBytes = 64u << 10;

    void Feed(const uint8_t* data, size_t size);
    void Drain();
    void Work();

    Sha256 m_sha;
    std::string m_path;
    bool m_open = false;
    bool m_valid = false;
    int64_t m_end = 0; // bytes seen in one pass
    std::vector<uint8_t> m_kept;
    std::map<std::string, Digest> m_digests;
    std::vector<std::string> m_published;

    // The hand-over to the digesting thread: a ring of blocks, filled by the
    // exporting thread, emptied in order by the digesting one.
    std::vector<std::unique_ptr<uint8_t[]>> m_blocks;
    size_t m_sizes[kBlocks] = {};
    size_t m_head = 0, m_count = 0;
    bool m_stop = false;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::thread m_thread;
};

} // namespace sk::cli
