// HTTPS for the process tests: a self-signed certificate for localhost,
// 127.0.0.1 and ::1 made with GnuTLS's certtool, and one request through
// libcurl that trusts only that certificate, bounded in time (a stream is
// read until it has given enough).
#pragma once

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace vistrel::testing {

// Writes DIR/PREFIX-key.pem and DIR/PREFIX-cert.pem; false when certtool is
// missing or fails.
inline bool MakeCertificate(const std::string& dir, const std::string& prefix) {
    const std::string key = dir + "/" + prefix + "-key.pem", cert = dir + "/" + prefix + "-cert.pem";
    const std::string tmpl = dir + "/" + prefix + ".tmpl";
    std::ofstream(tmpl) << "cn = localhost\ndns_name = localhost\nip_address = 127.0.0.1\nip_address = ::1\n"
                           "expiration_days = 2\ntls_www_server\nsigning_key\n";
    const std::string quiet = " >/dev/null 2>&1";
    return std::system(("certtool --generate-privkey --key-type ecdsa --outfile " + key + quiet).c_str()) == 0 &&
           std::system(("certtool --generate-self-signed --load-privkey " + key + " --template " + tmpl +
                        " --outfile " + cert + quiet)
                           .c_str()) == 0;
}

struct TTlsReply {
    long Status = 0;  // 0: no answer (refused, the handshake failed, ...)
    std::string Body;
    std::string Error;
};

// method "GET", "POST", ...; stopAfter: the body is read until it holds
// this text (a stream), then the request ends.
inline TTlsReply TlsRequest(const std::string& url, const std::string& caFile, const std::string& method = "GET",
                            const std::vector<std::string>& headers = {}, const std::string& stopAfter = {}) {
    struct TSink {
        std::string* Body;
        const std::string* StopAfter;
    };
    TTlsReply reply;
    CURL* curl = curl_easy_init();
    if (!curl) return reply;
    curl_slist* list = nullptr;
    for (const std::string& header : headers) list = curl_slist_append(list, header.c_str());
    TSink sink{&reply.Body, &stopAfter};
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t, size_t n, void* user) -> size_t {
            auto* s = static_cast<TSink*>(user);
            s->Body->append(data, n);
            // Returning less than was given ends the transfer.
            return !s->StopAfter->empty() && s->Body->find(*s->StopAfter) != std::string::npos ? 0 : n;
        });
    const CURLcode rc = curl_easy_perform(curl);
    if (rc == CURLE_OK || rc == CURLE_WRITE_ERROR) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.Status);
    reply.Error = error;
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
    return reply;
}

}  // namespace vistrel::testing
