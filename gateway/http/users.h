// The users of the HTTP server's basic authentication: a file of
// "NAME:HASH" lines, HASH a crypt(3) hash ("$6$..." from mkpasswd -m
// sha-512 or openssl passwd -6, "$y$..." from mkpasswd); blank lines and
// '#' comments are skipped. A file nobody could log in with is refused as
// it is read (--check, the start and a reload read it the same way), with
// its line and the reason, rather than found out at the first login.
#ifndef QOR_GATEWAY_HTTP_USERS_H
#define QOR_GATEWAY_HTTP_USERS_H

#include <map>
#include <string>

namespace qor::gateway {

// False, with "PATH:LINE: reason", for a file it cannot use: a line that
// is no NAME:HASH pair, a hash this system's crypt(3) cannot check (an
// unknown method, cut short, a stray character after it), CRLF line ends,
// a name given twice, no user at all.
bool LoadUsers(const std::string &path, std::map<std::string, std::string> *users,
               std::string *error);
// Whether password matches the crypt(3) hash (compared in constant time).
bool PasswordMatches(const std::string &password, const std::string &hash);

// A hash of a password nobody knows, made the way the users' are (the
// method and cost of the first by name): an unknown name is checked against it, so that it is
// answered in the time a known one takes and names cannot be told apart.
std::string DummyHash(const std::map<std::string, std::string> &users);
// Whether name is a user and password theirs, with the same work done for
// a name that is no user's (checked against dummy).
bool LoginMatches(const std::map<std::string, std::string> &users, const std::string &dummy,
                  const std::string &name, const std::string &password);

}  // namespace qor::gateway

#endif
