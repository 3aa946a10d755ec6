#pragma once
// Whole files read and written by tests, through the platform so that files
// other processes hold open for reading or deleting can still be read.

#include <string>

bool FileExists(const std::string& strPath);
// The file's bytes; empty when it cannot be opened (*pbExists tells which).
std::string ReadWholeFile(const std::string& strPath, bool* pbExists = nullptr);
bool WriteWholeFile(const std::string& strPath, const std::string& bytes);
