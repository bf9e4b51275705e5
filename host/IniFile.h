#pragma once
// INI files: named text values in named sections of a plain text file that
// people read and edit by hand.
//
// File format, as Windows reads INI files:
//  - "[Name]" starts a section; "Key=Value" lines belong to the section above.
//    Section and key names compare without regard to ASCII letter case; the
//    first section and the first key of a name win when a file holds several.
//  - A line whose first non-blank character is ';' or '#' is a comment. Only
//    whole lines are comments: "XonChar=#17" holds the value "#17".
//  - Names and values are trimmed of surrounding blanks and tabs. A value
//    enclosed in a matching pair of double or single quotes loses the quotes;
//    a value that needs them to survive (surrounding blanks, or quotes of its
//    own at both ends) is written inside double quotes, so whatever is written
//    reads back unchanged.
//  - Lines that are neither, blank lines and comments are kept as they are.
//    A write changes only the line of its key (or adds one line, or a section
//    at the end of the file); everything else in the file stays byte for byte,
//    line endings (LF or CR LF) and a leading UTF-8 byte-order mark included.
//  - A missing file is an empty one; the file is created by the first write.
//
// Writes never leave a half-written file: the whole file is written beside
// the old one, flushed to disk and renamed over it (host/FileIo.h). A write
// that fails raises EIniFileException naming the file and the reason, and the
// file on disk stays as it was.
//
// Two update modes:
//  - WriteThrough (the default, as the Windows INI calls work): every call
//    reads the file afresh and every write replaces it at once, so changes made
//    by others between two calls are seen and kept.
//  - Buffered: the file is read once by the constructor; writes change only
//    the copy in memory until UpdateFile() writes it (an object destroyed
//    without UpdateFile() discards its changes).
//
// BeginUpdate/EndUpdate group many writes into one replacement of the file
// (a WriteThrough object reads the file at the outermost BeginUpdate and
// writes it, when anything changed, at the outermost EndUpdate): a full
// store of a port's settings then costs one flush to disk instead of one per
// key. A write that leaves a value as it was does not touch the file.
//
// An object is used by one thread at a time. Its operations are virtual so
// that a descendant may store somewhere else.

#include <cstdint>
#include <string>
#include <vector>

namespace host {

class TIniFile {
public:
    enum class TUpdateMode { WriteThrough, Buffered };

    // Reads the file; a file that exists but cannot be read raises
    // EIniFileException (rather than later replacing it with a few values).
    explicit TIniFile(std::string fileName, TUpdateMode mode = TUpdateMode::WriteThrough);
    virtual ~TIniFile();
    TIniFile(const TIniFile&) = delete;
    TIniFile& operator=(const TIniFile&) = delete;

    const std::string& FileName() const { return fileName_; }
    TUpdateMode UpdateMode() const { return mode_; }

    // The value, or `defaultValue` when the section or the key is absent.
    virtual std::string ReadString(const std::string& section, const std::string& key,
                                   const std::string& defaultValue);
    // Stores the value under the key, adding the key or the section as needed.
    // A name that a file cannot hold (empty key; '=' in a key or ']' in a
    // section name; a key starting with '[', ';' or '#'), or a line break or
    // zero byte anywhere, raises EIniFileException and writes nothing.
    virtual void WriteString(const std::string& section, const std::string& key,
                             const std::string& value);
    // The value read as by host::StrToInt (decimal, or hexadecimal after "$",
    // "x" or "0x"); `defaultValue` when the key is absent, empty or not an
    // integer.
    virtual std::int32_t ReadInteger(const std::string& section, const std::string& key,
                                     std::int32_t defaultValue);
    // Stores the decimal form of the value.
    virtual void WriteInteger(const std::string& section, const std::string& key,
                              std::int32_t value);

    virtual bool SectionExists(const std::string& section);
    virtual bool ValueExists(const std::string& section, const std::string& key);
    // The key names of the section, in file order (each name once).
    virtual std::vector<std::string> ReadSection(const std::string& section);
    // The section names, in file order (each name once).
    virtual std::vector<std::string> ReadSections();
    // Removes the key's lines from the section; nothing when absent.
    virtual void DeleteKey(const std::string& section, const std::string& key);
    // Removes the section: its header and every line up to the next section.
    virtual void EraseSection(const std::string& section);
    // Buffered: writes the file now. WriteThrough: nothing is pending.
    virtual void UpdateFile();

    // Nestable; every BeginUpdate needs its EndUpdate. EndUpdate raises as a
    // write does.
    virtual void BeginUpdate();
    virtual void EndUpdate();

private:
    void Load();
    void Refresh();
    void Commit();
    void Save();

    std::string fileName_;
    TUpdateMode mode_;
    std::vector<std::string> lines_;
    std::string eol_ = "\n";
    bool bom_ = false;
    bool finalEol_ = true;
    int updateDepth_ = 0;
    bool dirty_ = false;
};

} // namespace host
