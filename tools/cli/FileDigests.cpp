#include "FileDigests.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "platform/TextConv.h"

namespace sk::cli {

namespace {
std::string Key(const std::string& path) { return std::filesystem::path(path).lexically_normal().string(); }
} // namespace

Sha256::Sha256() : m_ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free) { Reset(); }

void Sha256::Reset() { m_ok = m_ctx && EVP_DigestInit_ex(m_ctx.get(), EVP_sha256(), nullptr) == 1; }

void Sha256::Update(const void* data, size_t size) {
    if (m_ok && size > 0) m_ok = EVP_DigestUpdate(m_ctx.get(), data, size) == 1;
}

std::string Sha256::Finish() {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!m_ok || EVP_DigestFinal_ex(m_ctx.get(), md, &len) != 1) return {};
    m_ok = false;
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out.push_back(hex[md[i] >> 4]);
        out.push_back(hex[md[i] & 15]);
    }
    return out;
}

FileDigests::FileDigests(bool onThread) {
    m_kept.reserve(kKeptBytes);
    if (!onThread) return;
    for (size_t i = 0; i < kBlocks; ++i) m_blocks.emplace_back(new uint8_t[kBlockSize]);
    m_thread = std::thread([this] { Work(); });
}

FileDigests::~FileDigests() {
    if (!m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void FileDigests::Work() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || m_count > 0; });
        if (m_count == 0) return;
        const size_t slot = m_head;
        lock.unlock();
        m_sha.Update(m_blocks[slot].get(), m_sizes[slot]);
        lock.lock();
        m_head = (m_head + 1) % kBlocks;
        --m_count;
        m_changed.notify_all();
    }
}

void FileDigests::Drain() {
    if (!m_thread.joinable()) return;
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [this] { return m_count == 0; });
}

void FileDigests::Feed(const uint8_t* data, size_t size) {
    if (!m_thread.joinable()) {
        m_sha.Update(data, size);
        return;
    }
    while (size > 0) {
        size_t slot = 0;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_changed.wait(lock, [this] { return m_count < kBlocks; });
            slot = (m_head + m_count) % kBlocks;
        }
        // The slot is the writer's until it is counted in.
        const size_t n = std::min(size, kBlockSize);
        std::memcpy(m_blocks[slot].get(), data, n);
        m_sizes[slot] = n;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            ++m_count;
        }
        m_changed.notify_all();
        data += n;
        size -= n;
    }
}

void FileDigests::Started(const std::wstring& path) {
    Drain();
    m_sha.Reset();
    m_path = sk::ToUtf8Lossy(path);
    m_open = true;
    m_valid = m_sha.Ok();
    m_end = 0;
    m_kept.clear();
}

void FileDigests::Wrote(int64_t offset, const void* data, size_t size) {
    if (!m_open || !m_valid || size == 0) return;
    const auto* p = static_cast<const uint8_t*>(data);
    if (offset == m_end) {
        if (m_kept.size() == static_cast<size_t>(offset) && m_kept.size() < kKeptBytes)
            m_kept.insert(m_kept.end(), p, p + std::min(size, kKeptBytes - m_kept.size()));
        Feed(p, size);
        m_end += static_cast<int64_t>(size);
        return;
    }
    // Bytes written again are fine as long as they are the ones seen.
    const bool same = offset >= 0 && static_cast<size_t>(offset) + size <= m_kept.size() &&
                      std::memcmp(m_kept.data() + offset, p, size) == 0;
    if (!same) m_valid = false;
}

void FileDigests::Resized(int64_t length) {
    if (length != m_end) m_valid = false;
}

void FileDigests::Ended(bool published) {
    Drain();
    if (m_open && published && std::find(m_published.begin(), m_published.end(), m_path) == m_published.end())
        m_published.push_back(m_path);
    if (m_open && published && m_valid) {
        std::string sha = m_sha.Finish();
        if (!sha.empty()) m_digests[Key(m_path)] = {static_cast<uint64_t>(m_end), std::move(sha)};
    } else if (m_open) {
        m_digests.erase(Key(m_path));
    }
    m_open = false;
}

const FileDigests::Digest* FileDigests::Find(const std::string& path) const {
    const auto it = m_digests.find(Key(path));
    return it == m_digests.end() ? nullptr : &it->second;
}

} // namespace sk::cli
