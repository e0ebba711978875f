// Authenticode signatures of the programs the service starts: the module
// installers and a newer service program. A file is accepted when the
// platform finds its signature valid (WinVerifyTrust) and the signer
// certificate's public key is one of the pinned publishers. The check runs
// on a handle that keeps writers, renames and deletes out until the
// program has been started or moved.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/Owners.h"

namespace zel {

// A file opened for reading with only reading shared: nobody can write,
// rename or delete it while this object lives. forMove adds the right to
// rename it through this handle.
class TLockedFile {
public:
    TLockedFile() = default;
    TLockedFile(const std::string& path, bool forMove);

    bool IsOpen() const { return static_cast<bool>(h_); }
    HANDLE Handle() const { return h_.Get(); }
    const std::string& Path() const { return path_; }
    DWORD Error() const { return error_; }  // why it could not be opened
    // Renames the file through the handle (the target must not exist).
    bool MoveTo(const std::string& target);
    void Close();

private:
    UniqueHandle h_;
    std::string path_;
    DWORD error_ = ERROR_SUCCESS;
};

// The lower-case hexadecimal SHA-256 of the signer's public key info of a
// valid signature; empty with the reason in problem otherwise.
std::string SignerPublisher(const TLockedFile& file, std::string& problem);

// Empty when the open file carries a valid signature of one of the
// publishers; otherwise the reason in the log's words.
std::string ProgramSignatureProblem(const TLockedFile& file, const std::vector<std::string>& publishers);

// The check of the trust settings in force: empty when no publisher is
// pinned or when the file passes. The file is opened (and kept locked only
// for the check) when it is not given open.
std::string TrustedProgramProblem(const std::string& path);
std::string TrustedProgramProblem(const TLockedFile& file);

}  // namespace zel
