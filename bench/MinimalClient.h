// The least a client can do to put files in the library, for the benchmarks to set ours beside:
// per file, the requests our upload road sends (check-hash, the PUT to the presigned URL it
// hands out, confirm-upload), a few files at a time, through libcurl on plain threads, each
// keeping its connection open. No store, no staging copy, no probe, no retries. Header only:
// every .cpp of bench/ is a program.
#pragma once

#include <curl/curl.h>
#include <openssl/evp.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace quillmere::bench {

struct MinimalService
{
    std::string baseURL; // without a trailing "/"
    std::string token;
};

struct MinimalFile
{
    std::string path;
    std::string filename;
    std::string drivePath;
};

struct MinimalRun
{
    int stored = 0;
    int failed = 0;
    double seconds = 0;
};

namespace minimal {

inline std::string jsonString(const std::string &text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + '"';
}

// The text of a string member of a flat JSON reply ("" when missing): the fake writes compact
// JSON with no escapes in the members read here.
inline std::string member(const std::string &json, const std::string &key)
{
    const std::string marker = "\"" + key + "\":\"";
    const size_t at = json.find(marker);
    if (at == std::string::npos)
        return {};
    const size_t start = at + marker.size();
    return json.substr(start, json.find('"', start) - start);
}

inline std::string sha256Hex(const unsigned char *digest, unsigned int length)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 15];
    }
    return hex;
}

// A file's bytes (when small enough to hold) and hash.
struct Content
{
    std::string bytes; // empty for a large file: the PUT reads it from disk
    long long size = -1;
    std::string sha256;
};

constexpr long long kHeldInMemory = 4 * 1024 * 1024;

inline Content readAndHash(const std::string &path)
{
    Content content;
    std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file)
        return content;
    std::fseek(file.get(), 0, SEEK_END);
    const long long size = std::ftell(file.get());
    std::fseek(file.get(), 0, SEEK_SET);
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> digest(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr);
    if (size <= kHeldInMemory) {
        content.bytes.resize(size_t(size));
        if (std::fread(content.bytes.data(), 1, size_t(size), file.get()) != size_t(size))
            return content;
        EVP_DigestUpdate(digest.get(), content.bytes.data(), content.bytes.size());
    } else {
        std::vector<char> block(1024 * 1024);
        for (size_t n; (n = std::fread(block.data(), 1, block.size(), file.get())) > 0;)
            EVP_DigestUpdate(digest.get(), block.data(), n);
    }
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(digest.get(), hash, &length);
    content.size = size;
    content.sha256 = sha256Hex(hash, length);
    return content;
}

class Worker
{
public:
    explicit Worker(const MinimalService &service) : m_service(service), m_curl(curl_easy_init())
    {
        m_json = curl_slist_append(m_json, "Accept: application/json");
        m_json = curl_slist_append(m_json, "Content-Type: application/json");
        m_json = curl_slist_append(m_json, ("Authorization: Bearer " + service.token).c_str());
        m_put = curl_slist_append(m_put, "Content-Type: application/octet-stream");
        m_put = curl_slist_append(m_put, "Expect:");
    }
    ~Worker()
    {
        curl_slist_free_all(m_json);
        curl_slist_free_all(m_put);
        curl_easy_cleanup(m_curl);
    }
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    bool upload(const MinimalFile &file, const Content &content)
    {
        if (content.size < 0)
            return false;
        const std::string place = ",\"filename\":" + jsonString(file.filename) + ",\"file_size\":"
                                  + std::to_string(content.size)
                                  + ",\"mime_type\":\"audio/wav\",\"folder_type\":\"drive\",\"drive_path\":"
                                  + jsonString(file.drivePath);
        std::string reply;
        if (post("/api/v1/files/check-hash", "{\"content_sha256\":\"" + content.sha256 + "\"" + place + "}", reply) != 200)
            return false;
        const std::string status = member(reply, "status");
        if (status == "deduplicated")
            return true;
        const std::string oid = member(reply, "oid");
        if (status == "upload_required" && !put(member(reply, "presigned_upload_url"), file, content))
            return false;
        static std::atomic<long long> uuid{1};
        const std::string confirm = "{\"oid\":" + jsonString(oid) + place + ",\"file_uuid\":\"minimal-"
                                    + std::to_string(uuid++) + "\"}";
        const long answered = post("/api/v1/files/confirm-upload", confirm, reply);
        return answered == 200 || answered == 201;
    }

private:
    static size_t keep(char *data, size_t size, size_t count, void *into)
    {
        static_cast<std::string *>(into)->append(data, size * count);
        return size * count;
    }

    long perform(std::string &reply)
    {
        reply.clear();
        curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, keep);
        curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &reply);
        curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L);
        long status = 0;
        if (curl_easy_perform(m_curl) == CURLE_OK)
            curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_reset(m_curl); // the connection stays open for the next request
        return status;
    }

    long post(const std::string &path, const std::string &body, std::string &reply)
    {
        curl_easy_setopt(m_curl, CURLOPT_URL, (m_service.baseURL + path).c_str());
        curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, m_json);
        curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(m_curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
        return perform(reply);
    }

    bool put(const std::string &url, const MinimalFile &file, const Content &content)
    {
        if (url.empty())
            return false;
        std::unique_ptr<FILE, int (*)(FILE *)> source(nullptr, std::fclose);
        curl_easy_setopt(m_curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, m_put);
        if (content.size <= kHeldInMemory) {
            curl_easy_setopt(m_curl, CURLOPT_CUSTOMREQUEST, "PUT");
            curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, content.bytes.data());
            curl_easy_setopt(m_curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(content.size));
        } else {
            source.reset(std::fopen(file.path.c_str(), "rb"));
            if (!source)
                return false;
            curl_easy_setopt(m_curl, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(m_curl, CURLOPT_READDATA, source.get());
            curl_easy_setopt(m_curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(content.size));
            curl_easy_setopt(m_curl, CURLOPT_UPLOAD_BUFFERSIZE, 1024L * 1024);
        }
        std::string reply;
        return perform(reply) == 200;
    }

    const MinimalService &m_service;
    CURL *m_curl;
    curl_slist *m_json = nullptr;
    curl_slist *m_put = nullptr;
};

} // namespace minimal

// Uploads the files through `slots` workers and times it. `prepared`: every file is read and
// hashed before the clock starts, so what is timed is the requests alone (the service's
// ceiling for this pattern).
inline MinimalRun runMinimalClient(const MinimalService &service, const std::vector<MinimalFile> &files,
                                   int slots = 4, bool prepared = false)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::vector<minimal::Content> contents;
    if (prepared) {
        contents.reserve(files.size());
        for (const MinimalFile &file : files)
            contents.push_back(minimal::readAndHash(file.path));
    }
    std::atomic<size_t> next{0};
    std::atomic<int> stored{0}, failed{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int i = 0; i < slots; ++i) {
        workers.emplace_back([&] {
            minimal::Worker worker(service);
            for (size_t at; (at = next++) < files.size();) {
                const bool done = prepared ? worker.upload(files[at], contents[at])
                                           : worker.upload(files[at], minimal::readAndHash(files[at].path));
                ++(done ? stored : failed);
            }
        });
    }
    for (std::thread &worker : workers)
        worker.join();
    MinimalRun run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.stored = stored;
    run.failed = failed;
    return run;
}

} // namespace quillmere::bench
