// The one way core code talks to the user: the GUI answers with message boxes and dialogs,
// harrow-cli with stderr and its flags, tests with RecordingPrompts.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace harrow {

enum class MsgIcon { Information, Exclamation, Error };

// Answers to the overwrite question; the numbers are the dialog's button ids. Unanswered: there
// was nobody to ask (a script without a terminal); taken as No, and counted by the engine.
enum class ReplaceAnswer : int { Yes = 6, YesToAll = 1031, No = 7, NoToAll = 1033, Cancel = 2, Unanswered = 0 };

struct OverwriteQuestion {
    std::string name;
    std::string itemDate;       // as the lists show it
    std::uint64_t itemSize = 0;
    std::string existingDate;
    std::uint64_t existingSize = 0;
};

// The answer to "which FAT copy instead?".
struct FatChoice {
    std::optional<int> copy;  // numbered from 0, -1 for none; nothing: the file is not read
    bool forAll = false;      // the answer stands for every later file of the run that needs one
    bool unanswered = false;  // there was nobody to ask: the file is not read, and that is counted
};

class Prompts {
public:
    virtual ~Prompts() = default;
    // `id` is the string-table number, 0 for the few hard-coded English texts; `text` is formatted.
    virtual void showMessage(int id, const std::string& text, MsgIcon icon = MsgIcon::Exclamation) = 0;
    virtual bool askYesNo(int id, const std::string& text) = 0;
    virtual ReplaceAnswer askOverwrite(const OverwriteQuestion& q) = 0;
    // The FAT copy to use instead of `invalidFat` (numbered from 0; -1 for none).
    virtual FatChoice chooseFat(int invalidFat, int fatCount) = 0;
    // The same question, where the asker can show which copies would read the file: usable[k]
    // for copy k. Those that cannot show it ask chooseFat.
    virtual FatChoice chooseFatShowing(int invalidFat, const std::vector<bool>& usable) {
        return chooseFat(invalidFat, static_cast<int>(usable.size()));
    }
};

// Remembers every message and question; answers from queues filled by the test (defaults when
// a queue is empty: no, cancel, cancel).
class RecordingPrompts : public Prompts {
public:
    struct Shown {
        int id;
        std::string text;
    };

    void showMessage(int id, const std::string& text, MsgIcon icon) override;
    bool askYesNo(int id, const std::string& text) override;
    ReplaceAnswer askOverwrite(const OverwriteQuestion& q) override;
    FatChoice chooseFat(int invalidFat, int fatCount) override;

    bool shown(int id) const;
    std::vector<int> ids() const;

    std::vector<Shown> messages;  // messages and yes/no questions, in order
    std::vector<OverwriteQuestion> overwriteQuestions;
    std::deque<bool> yesNoAnswers;
    std::deque<ReplaceAnswer> overwriteAnswers;
    std::deque<FatChoice> fatAnswers;
};

}  // namespace harrow
