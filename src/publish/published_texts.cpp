#include "publish/published_texts.h"

#include "patcher/content_cipher.h"

namespace velka {

namespace {

std::string Join(const std::vector<std::string>& items, const char* separator) {
    std::string joined;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) joined += separator;
        joined += items[i];
    }
    return joined;
}

// Key=value lines; values enciphered when a cipher is given. Keys must stay plain: the launcher
// looks them up before it knows the form of the file.
class ConfigWriter {
  public:
    explicit ConfigWriter(const ContentCipher* cipher) : cipher_(cipher) {}

    // Returns the value as written.
    std::string Add(const char* key, const std::string& value) {
        const std::string stored = cipher_ ? cipher_->Encipher(value) : value;
        text_ += key;
        text_ += '=';
        text_ += stored;
        text_ += '\n';
        return stored;
    }

    // The launcher judges the whole file by `stored`, the value of its deciding key.
    bool CheckDecidingValue(const char* key, const std::string& stored, std::string* error) const {
        if (stored.empty()) {
            *error = std::string("\"") + key + "\" is empty; the launcher would reject the file";
            return false;
        }
        if (IsPlainConfiguration(stored) != (cipher_ == nullptr)) {
            *error = std::string("\"") + key + "\" would make the launcher read the file as " +
                     (cipher_ ? "plain" : "enciphered");
            return false;
        }
        return true;
    }

    const std::string& Text() const { return text_; }

  private:
    const ContentCipher* cipher_;
    std::string text_;
};

}  // namespace

std::string CheckBaseUrl(const std::string& url) {
    size_t schemeEnd = 0;
    if (url.compare(0, 7, "http://") == 0) {
        schemeEnd = 7;
    } else if (url.compare(0, 8, "https://") == 0) {
        schemeEnd = 8;
    } else {
        return "a mirror base URL must start with \"http://\" or \"https://\"";
    }
    if (url.back() != '/') return "a mirror base URL must end in \"/\"";
    if (url.size() <= schemeEnd || url[schemeEnd] == '/') return "the URL names no host";
    for (char c : url) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F) {
            return "the URL holds a blank, a control character or a non-ASCII byte";
        }
        if (c == '$' || c == '#' || c == ';' || c == '?' || c == '\\') {
            return std::string("the URL holds \"") + c +
                   "\", which the configuration format or URL joining would cut";
        }
    }
    if (url.find("https", schemeEnd) != std::string::npos) {
        return "the URL holds \"https\" after its scheme; the launcher rewrites every \"https\" "
               "to \"http\" and would fetch another address";
    }
    return std::string();
}

std::string FileListText(const std::vector<FileListLine>& lines) {
    std::string text;
    for (const FileListLine& line : lines) {
        text +=
            line.name + "=" + line.path + "$" + std::to_string(line.size) + "$" + line.crc + "\n";
    }
    return text;
}

std::string PackageListText(const std::vector<PackageListLine>& lines) {
    std::string text;
    for (const PackageListLine& line : lines) {
        text += line.name + "=" + line.name + "$" + std::to_string(line.unpackedSize) + "$" +
                std::to_string(line.packageSize) + "$" + line.crc + "\n";
    }
    return text;
}

bool ServerConfigText(const ServerConfig& config, const ContentCipher* cipher, std::string* text,
                      std::string* error) {
    ConfigWriter writer(cipher);
    writer.Add("incrementVersion", VersionToString(config.incrementVersion));
    writer.Add("zipVersion", VersionToString(config.zipVersion));
    writer.Add("useZip", config.useZip ? "True" : "False");
    const std::string filelistURLs = writer.Add("filelistURLs", Join(config.filelistURLs, "$"));
    writer.Add("ziplistURLs", Join(config.ziplistURLs, "$"));
    writer.Add("zipupdateURLs", Join(config.zipupdateURLs, "$"));
    writer.Add("incrementupdateURLs", Join(config.incrementupdateURLs, "$"));
    if (!writer.CheckDecidingValue("filelistURLs", filelistURLs, error)) return false;
    *text = writer.Text();
    return true;
}

bool LauncherConfigText(const LauncherConfig& config, const ContentCipher* cipher,
                        std::string* text, std::string* error) {
    ConfigWriter writer(cipher);
    writer.Add("launcherVersion", VersionToString(config.launcherVersion));
    const std::string remoteURLs = writer.Add("remoteURLs", Join(config.remoteURLs, "$"));
    const PackageInfo& package = config.launcherZipInfo;
    if (!package.fileName.empty()) {
        writer.Add("launcherZipInfo", package.fileName + "$" +
                                          std::to_string(package.unpackedSize) + "$" +
                                          std::to_string(package.packageSize) + "$" + package.crc);
    }
    if (!writer.CheckDecidingValue("remoteURLs", remoteURLs, error)) return false;
    *text = writer.Text();
    return true;
}

}  // namespace velka
