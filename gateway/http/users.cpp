#include "gateway/http/users.h"

#include <crypt.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <random>

#include "gateway/core/config.h"

namespace qor::gateway {

namespace {

// What crypt(3) makes of password with hash as its setting; empty when it
// cannot (an unknown method, a malformed setting).
std::string Crypt(const std::string &password, const std::string &hash) {
    auto data = std::make_unique<crypt_data>();
    const char *got = crypt_r(password.c_str(), hash.c_str(), data.get());
    if (got == nullptr || got[0] == '*') {
        return "";
    }
    return got;
}

// Why a hash cannot be checked, or empty. crypt(3) reads the method, its
// cost and the salt from the hash and makes a hash of that same form, which
// a good one matches in length and up to its last '$'.
std::string Unusable(const std::string &hash) {
    // A plain password would start with anything but '$'.
    if (hash.size() < 4 || hash[0] != '$') {
        return "not NAME:HASH with a crypt(3) hash (mkpasswd -m sha-512)";
    }
    std::string made = Crypt("", hash);
    std::size_t setting = hash.rfind('$');
    if (made.size() != hash.size() || made.compare(0, setting, hash, 0, setting) != 0) {
        return "the hash is not one this system's crypt(3) can check (an unknown method, cut "
               "short, or something after it)";
    }
    return "";
}

// Why a line is no user, or empty; the user's name and hash when it is.
std::string ReadUser(const std::string &line, std::string *name, std::string *hash) {
    if (!line.empty() && line.back() == '\r') {
        return "ends in a carriage return (CRLF line ends): save the file with LF line ends";
    }
    std::size_t colon = line.find(':');
    *name = line.substr(0, colon);
    *hash = colon == std::string::npos ? "" : line.substr(colon + 1);
    bool printable = std::none_of(name->begin(), name->end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    if (name->empty() || !printable) {
        return "not NAME:HASH with a crypt(3) hash (mkpasswd -m sha-512)";
    }
    return Unusable(*hash);
}

}  // namespace

bool LoadUsers(const std::string &path, std::map<std::string, std::string> *users,
               std::string *error) {
    struct stat info {};
    std::ifstream in(path, std::ios::binary);
    if (!in || stat(path.c_str(), &info) != 0) {
        *error = "cannot read users_file \"" + path + "\"";
        return false;
    }
    if (info.st_size > static_cast<off_t>(kMaxConfigBytes)) {
        *error = path + ": longer than " + std::to_string(kMaxConfigBytes) + " bytes";
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::string name;
        std::string hash;
        std::string why = ReadUser(line, &name, &hash);
        if (why.empty() && users->count(name) > 0) {
            why = "user \"" + name + "\" is given twice";
        }
        if (!why.empty()) {
            *error = path + ":" + std::to_string(number) + ": " + why;
            return false;
        }
        (*users)[name] = hash;
    }
    if (users->empty()) {
        *error = path + ": no users";
        return false;
    }
    return true;
}

bool PasswordMatches(const std::string &password, const std::string &hash) {
    std::string got = Crypt(password, hash);
    if (got.size() != hash.size()) {
        return false;
    }
    unsigned char differ = 0;
    for (std::size_t i = 0; i < hash.size(); ++i) {
        differ |= static_cast<unsigned char>(got[i] ^ hash[i]);
    }
    return differ == 0;
}

std::string DummyHash(const std::map<std::string, std::string> &users) {
    if (users.empty()) {
        return "";
    }
    std::random_device random;
    std::string password;
    for (int i = 0; i < 4; ++i) {
        password += std::to_string(random());
    }
    // A user's hash as the setting: its method, its cost.
    return Crypt(password, users.begin()->second);
}

bool LoginMatches(const std::map<std::string, std::string> &users, const std::string &dummy,
                  const std::string &name, const std::string &password) {
    auto it = users.find(name);
    bool known = it != users.end();
    bool matches = PasswordMatches(password, known ? it->second : dummy);
    return known && matches;
}

}  // namespace qor::gateway
