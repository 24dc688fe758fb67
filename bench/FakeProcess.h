// The fake service as a program of its own (quillmere-fake-service --bench), so that the peak
// memory of a benchmark's process is the client's alone. Header only: every .cpp of bench/ is
// a program.
#pragma once

#include "BenchLane.h"

#include <QElapsedTimer>
#include <QProcess>

#include <curl/curl.h>

#include <string>

namespace quillmere::bench {

class FakeProcess
{
public:
    FakeProcess() = default;
    ~FakeProcess()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    FakeProcess(const FakeProcess &) = delete;
    FakeProcess &operator=(const FakeProcess &) = delete;

    // Starts the program and reads the address and token it prints; false when it does not
    // come up within ten seconds.
    bool start(const QString &program)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(program, {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--bench")});
        if (!m_process.waitForStarted())
            return false;
        QElapsedTimer timer;
        timer.start();
        QByteArray printed;
        while (timer.elapsed() < 10'000 && (address.baseURL.isEmpty() || address.token.isEmpty())) {
            m_process.waitForReadyRead(200);
            printed += m_process.readAllStandardOutput();
            for (const QByteArray &line : printed.split('\n')) {
                if (line.startsWith("base URL:"))
                    address.baseURL = QUrl(QString::fromUtf8(line.mid(9).trimmed()));
                else if (line.startsWith("token:"))
                    address.token = QString::fromUtf8(line.mid(6).trimmed());
            }
        }
        return !address.baseURL.isEmpty() && !address.token.isEmpty();
    }

    // VmHWM of the program in KiB, 0 when unreadable.
    long peakResidentKiB() const { return bench::peakResidentKiB(QString::number(m_process.processId())); }

    // How many files the library lists, counted in the raw reply (a parse would weigh on the
    // peak memory of the process that asks); -1 when the request fails.
    long libraryFileCount() const
    {
        CURL *curl = curl_easy_init();
        const std::string url = address.baseURL.toString().toStdString() + "/api/v1/files/library";
        curl_slist *headers = curl_slist_append(nullptr, "Accept: application/json");
        headers = curl_slist_append(headers, ("Authorization: Bearer " + address.token.toStdString()).c_str());
        std::string reply;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char *data, size_t size, size_t count, void *into) {
            static_cast<std::string *>(into)->append(data, size * count);
            return size * count;
        });
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
        const bool ok = curl_easy_perform(curl) == CURLE_OK;
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
        if (!ok)
            return -1;
        long count = 0;
        for (size_t at = reply.find("\"file_checksum\""); at != std::string::npos;
             at = reply.find("\"file_checksum\"", at + 1))
            ++count;
        return count;
    }

    // When the first file's bytes reached the service (a presigned PUT), in nanoseconds of the
    // machine's wall clock as the program printed it; 0 before any did.
    qint64 firstUploadNs()
    {
        m_process.waitForReadyRead(100);
        m_printed += m_process.readAllStandardOutput();
        for (const QByteArray &line : m_printed.split('\n'))
            if (line.startsWith("first upload:"))
                return line.mid(13).trimmed().toLongLong();
        return 0;
    }

    ServiceAddress address;

private:
    QProcess m_process;
    QByteArray m_printed;
};

} // namespace quillmere::bench
