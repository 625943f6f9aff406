#include "ui/terminal_backend.h"

#include <string>

#include "ui/scripted_backend.h"

namespace ui {
namespace {

class TerminalBackend final : public DialogBackend {
public:
    TerminalBackend(std::FILE* in, std::FILE* out) : in_(in), out_(out) {}
    const char* name() const override { return "tty"; }

    FileChooserAnswer fileChooser(const FileChooserModel& model) override {
        std::fprintf(out_, "\n== %s ==\n", ansiToReport(model.title).c_str());
        if (!model.filter.empty()) std::fprintf(out_, "(%s)\n", ansiToReport(model.filter).c_str());
        if (!model.initialFolder.empty())
            std::fprintf(out_, "folder: %s\n", ansiToReport(model.initialFolder).c_str());
        std::fprintf(out_, "path (empty line cancels): ");
        std::fflush(out_);
        FileChooserAnswer answer;
        std::string line;
        if (!readLine(line) || line.empty()) return answer;
        answer.outcome = DialogOutcome::Ok;
        answer.path = reportToAnsi(line);
        return answer;
    }

    int messageBox(const std::string& text, const std::string& caption, UINT) override {
        std::fprintf(out_, "\n[%s] %s\n(press Enter) ", ansiToReport(caption).c_str(),
                     ansiToReport(text).c_str());
        std::fflush(out_);
        std::string ignored;
        readLine(ignored);
        return IDOK;
    }

private:
    bool readLine(std::string& line) {
        line.clear();
        int c;
        bool any = false;
        while ((c = std::fgetc(in_)) != EOF) {
            any = true;
            if (c == '\n') break;
            line.push_back(static_cast<char>(c));
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return any;
    }

    std::FILE* in_;
    std::FILE* out_;
};

}  // namespace

std::unique_ptr<DialogBackend> makeTerminalBackend(std::FILE* in, std::FILE* out) {
    if (!in || !out) return nullptr;
    return std::make_unique<TerminalBackend>(in, out);
}

}  // namespace ui
