#include "common/prompts.h"

#include <algorithm>

namespace harrow {
namespace {

template <typename T>
T takeOr(std::deque<T>& queue, T fallback) {
    if (queue.empty()) return fallback;
    T v = queue.front();
    queue.pop_front();
    return v;
}

}  // namespace

void RecordingPrompts::showMessage(int id, const std::string& text, MsgIcon) { messages.push_back({id, text}); }

bool RecordingPrompts::askYesNo(int id, const std::string& text) {
    messages.push_back({id, text});
    return takeOr(yesNoAnswers, false);
}

ReplaceAnswer RecordingPrompts::askOverwrite(const OverwriteQuestion& q) {
    overwriteQuestions.push_back(q);
    return takeOr(overwriteAnswers, ReplaceAnswer::Cancel);
}

FatChoice RecordingPrompts::chooseFat(int, int) { return takeOr(fatAnswers, FatChoice{}); }

bool RecordingPrompts::shown(int id) const {
    return std::any_of(messages.begin(), messages.end(), [id](const Shown& s) { return s.id == id; });
}

std::vector<int> RecordingPrompts::ids() const {
    std::vector<int> out;
    for (const auto& s : messages) out.push_back(s.id);
    return out;
}

}  // namespace harrow
