// A command line as a program's main receives it, built from strings: argc counts the program
// name and the arguments, argv[0] is the program name and argv[argc] is a null pointer.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kalvoran::testing {

class ArgumentVector {
public:
    // words: the whole command line, the program name first.
    explicit ArgumentVector(std::vector<std::string> words) : held(std::move(words)) {
        pointers.reserve(held.size() + 1);
        for (std::string& word : held) {
            pointers.push_back(word.data());
        }
        pointers.push_back(nullptr);
    }
    ArgumentVector(const std::string& program, const std::vector<std::string>& arguments)
        : ArgumentVector(WithProgram(program, arguments)) {}
    // argv points into the held strings, so it must not be copied or moved away from them.
    ArgumentVector(const ArgumentVector&) = delete;
    ArgumentVector& operator=(const ArgumentVector&) = delete;

    int Argc() const { return static_cast<int>(held.size()); }
    // Writable, as main's is: it serves parsers taking char** or const char* const*, and execvp.
    char** Argv() { return pointers.data(); }

private:
    static std::vector<std::string> WithProgram(const std::string& program,
                                                const std::vector<std::string>& arguments) {
        std::vector<std::string> words{program};
        words.insert(words.end(), arguments.begin(), arguments.end());
        return words;
    }

    std::vector<std::string> held;
    std::vector<char*> pointers;
};

// What parse(argc, argv) returns for program followed by arguments, as main would call it. The
// result must not keep argv's pointers: they end with the call.
template <typename Parser>
auto ParseArguments(Parser&& parse, const std::vector<std::string>& arguments,
                    const std::string& program = "program") {
    ArgumentVector command(program, arguments);
    return std::forward<Parser>(parse)(command.Argc(), command.Argv());
}

}  // namespace kalvoran::testing
