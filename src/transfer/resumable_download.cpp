#include "transfer/resumable_download.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <vector>

#include "util/strings.h"

namespace velka {

namespace {

constexpr int64_t kKeptReadBytes = 1 << 20;

std::wstring RecordPath(const std::wstring& path) {
    return path + L".resume";
}

struct Record {
    std::string url;
    std::string validator;
    int64_t totalBytes = -1;
};

bool ReadRecord(const std::wstring& path, Record* record) {
    std::string text;
    if (!ReadFileBytes(RecordPath(path), &text)) return false;
    const std::vector<std::string> lines = Split(text, '\n');
    if (lines.size() != 3) return false;
    record->url = lines[0];
    record->validator = lines[1];
    record->totalBytes = ToInt64(lines[2]);
    return !record->validator.empty() && record->totalBytes > 0;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t i = 0;
    for (; prefix[i]; ++i) {
        if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) !=
                                    std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

// "bytes 100-199/200" -> 100; -1 when it is not of that form.
int64_t RangeStart(const std::string& contentRange) {
    if (!StartsWithNoCase(contentRange, "bytes ")) return -1;
    const std::string rest = Trim(contentRange.substr(6));
    if (rest.empty() || !std::isdigit(static_cast<unsigned char>(rest[0]))) return -1;
    return ToInt64(rest);
}

}  // namespace

bool ResumableDownload::Open(const std::wstring& path, const std::string& url, bool resumable) {
    path_ = path;
    url_ = url;
    resumable_ = resumable;
    offset_ = 0;
    Record record;
    const int64_t length = FileSize64(path);
    if (resumable && ReadRecord(path, &record) && record.url == url && length > 0 &&
        length < record.totalBytes) {
        file_ = File(path, "ab");
        if (file_) {
            offset_ = length;
            validator_ = record.validator;
            return true;
        }
    }
    Forget(path);
    file_ = File(path, "wb");
    return static_cast<bool>(file_);
}

CURLcode ResumableDownload::Apply(CURL* handle, TransferWatch* watch) {
    watch_ = watch;
    curl_write_callback header = &OnHeader;
    curl_write_callback body = &OnBody;
    CURLcode code = curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, header);
    if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
    if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, body);
    if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
    if (code != CURLE_OK || offset_ == 0) return code;
    const std::string range = std::to_string(offset_) + "-";
    code = curl_easy_setopt(handle, CURLOPT_RANGE, range.c_str());
    headers_.reset(curl_slist_append(nullptr, ("If-Range: " + validator_).c_str()));
    if (!headers_) return CURLE_OUT_OF_MEMORY;
    if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers_.get());
    return code;
}

size_t ResumableDownload::OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* download = static_cast<ResumableDownload*>(self);
    const size_t bytes = size * count;
    const std::string line = Trim(std::string(data, bytes));
    if (line.compare(0, 5, "HTTP/") == 0) {
        const size_t blank = line.find(' ');
        download->status_ = blank == std::string::npos ? 0 : ToInt(line.substr(blank + 1));
        download->etag_.clear();
        download->lastModified_.clear();
        download->contentRange_.clear();
        download->contentLength_ = -1;
        return bytes;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return bytes;
    const std::string value = Trim(line.substr(colon + 1));
    const std::string name = line.substr(0, colon);
    if (StartsWithNoCase(name, "etag") && name.size() == 4) {
        download->etag_ = value;
    } else if (StartsWithNoCase(name, "last-modified") && name.size() == 13) {
        download->lastModified_ = value;
    } else if (StartsWithNoCase(name, "content-range") && name.size() == 13) {
        download->contentRange_ = value;
    } else if (StartsWithNoCase(name, "content-length") && name.size() == 14) {
        download->contentLength_ = ToInt64(value);
    }
    return bytes;
}

bool ResumableDownload::Decide() {
    decided_ = true;
    if (status_ == 206 && offset_ > 0) {
        if (RangeStart(contentRange_) != offset_) {
            rangeRefused_ = true;
            return false;
        }
        if (hash_ && !HashKeptBytes()) return false;
        appending_ = true;
        if (watch_) watch_->base = offset_;
        return true;
    }
    if (status_ != 200 && status_ != 226) {
        discarding_ = offset_ > 0;  // an error page must not be appended to the kept bytes
        return true;
    }
    if (offset_ > 0) {
        offset_ = 0;
        file_ = File(path_, "wb");
        if (!file_) return false;
        std::setvbuf(file_.get(), nullptr, _IONBF, 0);
    }
    // A weak ETag does not promise the same bytes, so If-Range cannot use it.
    const std::string validator =
        !etag_.empty() && etag_.compare(0, 2, "W/") != 0 ? etag_ : lastModified_;
    if (!resumable_ || validator.empty() || contentLength_ <= 0 ||
        !WriteFileAtomically(RecordPath(path_),
                             url_ + "\n" + validator + "\n" + std::to_string(contentLength_))) {
        Forget(path_);
    }
    return true;
}

bool ResumableDownload::HashKeptBytes() {
    File kept(path_, "rb");
    if (!kept) return false;
    std::vector<char> buffer(kKeptReadBytes);
    int64_t left = offset_;
    while (left > 0) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(left, kKeptReadBytes));
        if (std::fread(buffer.data(), 1, want, kept.get()) != want) return false;
        hash_->Update(buffer.data(), want);
        left -= static_cast<int64_t>(want);
    }
    return true;
}

size_t ResumableDownload::OnBody(char* data, size_t size, size_t count, void* self) {
    auto* download = static_cast<ResumableDownload*>(self);
    if (!download->decided_ && !download->Decide()) return 0;
    if (download->discarding_) return size * count;
    const size_t written = std::fwrite(data, size, count, download->file_.get());
    if (download->hash_) download->hash_->Update(data, written * size);
    return written;
}

bool ResumableDownload::Succeeded(const TransferResult& result) {
    if (result.code != CURLE_OK) return false;
    // An empty body calls no write callback.
    if (!decided_ && !Decide()) return false;
    return result.Succeeded() || (result.responseCode == 206 && appending_);
}

void ResumableDownload::Forget(const std::wstring& path) {
    if (FileExists(RecordPath(path))) RemoveFile(RecordPath(path));
}

void ResumableDownload::Discard(const std::wstring& path) {
    if (FileExists(path)) RemoveFile(path);
    Forget(path);
}

bool ResumableDownload::HasRecord(const std::wstring& path) {
    Record record;
    return ReadRecord(path, &record);
}

}  // namespace velka
