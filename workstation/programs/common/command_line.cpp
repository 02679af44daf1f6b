#include "command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>

namespace pondrel {

namespace {

std::string refusal(const std::string& text, const std::string& what) { return "'" + text + "' (" + what + ")"; }

// "--rounds: 1 required N missing" and the like: the option's name.
std::string option_of(const std::string& message) { return message.substr(0, message.find(':')); }

class HelpFormatter : public CLI::Formatter {
public:
    HelpFormatter() {
        column_width(23);
        label("OPTIONS", "options");
        label("REQUIRED", "");
    }
    std::string make_usage(const CLI::App*, std::string) const override { return ""; }
    std::string make_option_opts(const CLI::Option* option) const override {
        return option->get_type_size() == 0 ? "" : " " + option->get_type_name();
    }
    // Descriptions wrapped to fit 80 columns beside the options' column.
    std::string make_option_desc(const CLI::Option* option) const override {
        const std::size_t width = 80 - get_column_width();
        std::string wrapped;
        std::size_t line = 0;
        std::istringstream words(option->get_description());
        std::string word;
        while (words >> word) {
            if (line > 0 && line + 1 + word.size() > width) {
                wrapped += '\n';
                line = 0;
            } else if (line > 0) {
                wrapped += ' ';
                ++line;
            }
            wrapped += word;
            line += word.size();
        }
        return wrapped;
    }
};

std::optional<long long> parse_whole(const std::string& text) {
    if (text.empty() || text[0] == ' ' || text[0] == '+') return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || errno != 0) return std::nullopt;
    return value;
}

}  // namespace

void set_up_command_line(CLI::App& app, const std::string& usage, const std::string& description,
                         const std::string& footer, const std::string& version) {
    app.description("usage: " + usage + "\n" + description);
    app.footer(footer);
    app.formatter(std::make_shared<HelpFormatter>());
    app.set_help_flag("-h,--help", "this text");
    app.set_version_flag("--version", version, "the program's version");
    app.allow_extras();
    app.option_defaults()->always_capture_default(false);
    // As with getopt, an option given twice takes its last value.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

bool parse_command_line(CLI::App& app, int argc, const char* const* argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return false;
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << "\n";
        return false;
    } catch (const CLI::ValidationError& e) {
        throw UsageError(std::string("bad value for ") + e.what());
    } catch (const CLI::ArgumentMismatch& e) {
        throw UsageError("option " + option_of(e.what()) + " needs a value");
    } catch (const CLI::ExcludesError& e) {
        const std::string message = e.what();
        const std::size_t at = message.find(" excludes ");
        throw UsageError(message.substr(0, at) + " and " + message.substr(at + 10) + " exclude each other");
    } catch (const CLI::ParseError& e) {
        throw UsageError(e.what());
    }
    const std::vector<std::string> extra = app.remaining();
    if (!extra.empty()) {
        const std::string& first = extra.front();
        if (first.size() > 1 && first[0] == '-') throw UsageError("unknown option '" + first + "' (see --help)");
        throw UsageError("unexpected argument '" + first + "'");
    }
    return true;
}

long long whole_number_of(const std::string& text, const std::string& option, long long low, long long high) {
    const auto value = parse_whole(text);
    if (!value || *value < low || *value > high) {
        throw UsageError("bad value for " + option + ": " +
                         refusal(text, "a whole number from " + std::to_string(low) + " to " + std::to_string(high)));
    }
    return *value;
}

CLI::Validator whole_number(long long low, long long high) {
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            const auto value = parse_whole(text);
            if (value && *value >= low && *value <= high) return "";
            return refusal(text, "a whole number from " + std::to_string(low) + " to " + std::to_string(high));
        },
        "");
}

CLI::Validator seconds_up_to(double high) {
    return CLI::Validator(
        [high](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            if (!text.empty() && *end == '\0' && std::isfinite(value) && value >= 0 && value <= high) return "";
            char limit[32];
            std::snprintf(limit, sizeof limit, "%g", high);
            return refusal(text, std::string("seconds, from 0 to ") + limit);
        },
        "");
}

CLI::Validator one_of(const std::vector<std::string>& choices, const std::string& what) {
    return CLI::Validator(
        [choices, what](std::string& text) -> std::string {
            for (const std::string& choice : choices) {
                if (text == choice) return "";
            }
            return refusal(text, what);
        },
        "");
}

CLI::Validator non_empty(const std::string& what) {
    return CLI::Validator([what](std::string& text) -> std::string { return text.empty() ? what : ""; }, "");
}

}  // namespace pondrel
