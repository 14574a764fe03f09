#include "agent-sim/AgentFiles.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace kalvoran::agentsim {

// ---- MemoryStorage ----

std::optional<Bytes> MemoryStorage::Load(std::string_view name) {
    const auto found = files.find(name);
    if (found == files.end()) {
        return std::nullopt;
    }
    return found->second;
}

bool MemoryStorage::Store(std::string_view name, std::span<const std::uint8_t> content) {
    files[std::string(name)] = Bytes(content.begin(), content.end());
    return true;
}

// ---- DirectoryStorage ----

DirectoryStorage::DirectoryStorage(std::filesystem::path folder) : directory(std::move(folder)) {}

std::optional<Bytes> DirectoryStorage::Load(std::string_view name) {
    if (!SafeFileName(name)) {
        return std::nullopt;
    }
    const std::filesystem::path path = directory / std::string(name);
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    Bytes content;
    std::array<char, 8192> chunk{};
    while (in.read(chunk.data(), chunk.size()) || in.gcount() > 0) {
        const auto got = static_cast<std::size_t>(in.gcount());
        content.insert(content.end(), chunk.begin(), chunk.begin() + static_cast<long>(got));
    }
    if (in.bad()) {
        return std::nullopt;
    }
    return content;
}

bool DirectoryStorage::Store(std::string_view name, std::span<const std::uint8_t> content) {
    if (!SafeFileName(name)) {
        return false;
    }
    const std::filesystem::path target = directory / std::string(name);
    std::filesystem::path partial = target;
    partial += ".part";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        if (!out) {
            return false;
        }
        out.write(reinterpret_cast<const char*>(content.data()),
                  static_cast<std::streamsize>(content.size()));
        out.flush();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(partial, ignored);
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(partial, target, error);
    return !error;
}

// ---- Names ----

bool SafeFileName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name.front() == '.') {
        return false;
    }
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || byte < 0x20 || byte == 0x7F) {
            return false;
        }
    }
    return true;
}

std::optional<FileRole> WritableRole(std::string_view name) {
    if (name == "image.bin" || name == "rom.bin") {
        return FileRole::Image;
    }
    if (name == "config.cfg") {
        return FileRole::Config;
    }
    if (name == "command.cmd") {
        return FileRole::Command;
    }
    if (name == "request.cfg") {
        return FileRole::Request;
    }
    for (const std::string_view extension : {".jpg", ".gif", ".css", ".ico", ".txt"}) {
        if (name.find(extension) != std::string_view::npos) {
            return FileRole::FileSystem;
        }
    }
    return std::nullopt;
}

// ---- Content the agent makes up ----

Bytes EepromImage() {
    Bytes image(kEepromSize);
    for (std::size_t i = 0; i < image.size(); ++i) {
        // 37 is odd, so blocks 0..63 are shifted against each other by distinct amounts.
        image[i] = static_cast<std::uint8_t>(i * 7 + (i / 512) * 37 + 0x11);
    }
    return image;
}

Bytes GenerateConfig(std::span<const std::uint8_t> request) {
    // FNV-1a of the request seeds the values, so a different request gives a different file.
    std::uint32_t seed = 2166136261u;
    for (const std::uint8_t byte : request) {
        seed = (seed ^ byte) * 16777619u;
    }
    std::string body;
    std::array<char, 96> line{};
    std::snprintf(line.data(), line.size(),
                  "; Generated configuration\r\n; request: %zu bytes, %08X\r\n", request.size(),
                  static_cast<unsigned>(seed));
    body += line.data();
    std::uint32_t value = seed | 1u;
    for (int key = 1; key <= 128; ++key) {
        value ^= value << 13;
        value ^= value >> 17;
        value ^= value << 5;
        std::snprintf(line.data(), line.size(), "param%03d=%08X\r\n", key,
                      static_cast<unsigned>(value));
        body += line.data();
    }
    // The header counts itself: grow the guess until the number of hex digits settles.
    std::size_t total = body.size();
    std::string header;
    for (int round = 0; round < 4; ++round) {
        std::snprintf(line.data(), line.size(), "Len:%zx\r\n", total);
        header = line.data();
        if (header.size() + body.size() == total) {
            break;
        }
        total = header.size() + body.size();
    }
    const std::string text = header + body;
    return Bytes(text.begin(), text.end());
}

std::string StatusText(FileRole lastRole, int step, int steps, std::string_view finalOverride) {
    struct RoleTexts {
        const char* activity;
        const char* finalPhrase;
    };
    RoleTexts texts{"", ""};
    switch (lastRole) {
        case FileRole::None:
            return "Agent ready";
        case FileRole::Image:
            texts = {"Programming flash", "Memory compare Flash/Ram is OK"};
            break;
        case FileRole::Config:
            texts = {"Applying configuration", "Config done"};
            break;
        case FileRole::Command:
            texts = {"Executing command file", "Command file executed, Config done"};
            break;
        case FileRole::Request:
            texts = {"Generating config file", "Config file done"};
            break;
        case FileRole::FileSystem:
            texts = {"Storing file", "File system updated, Config done"};
            break;
    }
    if (step >= 1 && step <= steps) {
        std::array<char, 96> line{};
        std::snprintf(line.data(), line.size(), "%s: step %d of %d", texts.activity, step, steps);
        return line.data();
    }
    return finalOverride.empty() ? std::string(texts.finalPhrase) : std::string(finalOverride);
}

}  // namespace kalvoran::agentsim
