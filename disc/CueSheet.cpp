#include "CueSheet.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char Upper(char c) { return c >= 'a' && c <= 'z' ? (char)(c - 32) : c; }

static std::string UpperCase(std::string s)
{
    for (char &c : s)
        c = Upper(c);
    return s;
}

static bool IsSpace(char c) { return c == ' ' || c == '\t'; }

// Splits a line into its words; a word in double quotes keeps its spaces.
static std::vector<std::string> Words(const std::string &line)
{
    std::vector<std::string> words;
    for (size_t at = 0; at < line.size();) {
        if (IsSpace(line[at])) {
            at++;
            continue;
        }
        size_t end;
        if (line[at] == '"') {
            end = line.find('"', at + 1);
            if (end == std::string::npos)
                end = line.size();
            words.push_back(line.substr(at + 1, end - at - 1));
            at = end + 1;
            continue;
        }
        for (end = at; end < line.size() && !IsSpace(line[end]); end++) {
        }
        words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

std::vector<std::string> TextLines(const uint8_t *text, size_t n)
{
    size_t at = n >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    std::vector<std::string> lines;
    while (at < n) {
        const uint8_t *end = (const uint8_t *)memchr(text + at, '\n', n - at);
        size_t length = (end != nullptr ? (size_t)(end - text) : n) - at;
        std::string line((const char *)text + at, length);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        at += length + 1;
    }
    return lines;
}

bool IsCueSheet(const std::string &name, const uint8_t *head, size_t n)
{
    if (name.size() >= 4 && UpperCase(name.substr(name.size() - 4)) == ".CUE")
        return true;
    // A text that merely starts with the word ("File list") is no sheet.
    if (n != 0 && memchr(head, 0, n) != nullptr)
        return false;
    bool file = false; // the last line that counts was a FILE line
    for (const std::string &line : TextLines(head, n)) {
        const std::vector<std::string> words = Words(line);
        if (words.empty())
            continue;
        const std::string first = UpperCase(words[0]);
        if (first == "REM")
            continue;
        if (file && first == "TRACK")
            return true;
        file = first == "FILE" && words.size() >= 2;
    }
    return false;
}

// "MM:SS:FF" in sectors; 0 for anything else.
static uint64_t Sectors(const std::string &time)
{
    unsigned m = 0, s = 0, f = 0;
    char rest;
    if (sscanf(time.c_str(), "%u:%u:%u%c", &m, &s, &f, &rest) != 3)
        return 0;
    return ((uint64_t)m * 60 + s) * 75 + f;
}

std::vector<CueTrack> ReadCueSheet(const uint8_t *text, size_t n)
{
    std::vector<CueTrack> tracks;
    std::string file;
    for (const std::string &line : TextLines(text, n)) {
        const std::vector<std::string> words = Words(line);
        if (words.empty())
            continue;
        const std::string keyword = UpperCase(words[0]);
        if (keyword == "FILE" && words.size() >= 2) {
            file = words[1];
        } else if (keyword == "TRACK" && words.size() >= 3) {
            tracks.push_back(CueTrack());
            tracks.back().number = words[1];
            tracks.back().mode = UpperCase(words[2]);
            tracks.back().file = file;
        } else if (keyword == "INDEX" && words.size() >= 3 && !tracks.empty() && strtoul(words[1].c_str(), nullptr, 10) == 1 &&
                   tracks.back().file == file) {
            tracks.back().start = Sectors(words[2]);
        }
    }
    return tracks;
}

uint64_t DataSectorSize(const std::string &mode)
{
    if (mode == "MODE1/2352" || mode == "MODE2/2352")
        return 2352;
    return mode == "MODE1/2048" ? 2048 : 0;
}
