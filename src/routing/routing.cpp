#include "routing/routing.h"

#include "bench/bench_config.h"
#include "frame/errors.h"
#include "frame/text.h"

#include <resmgr.h>
#include <route.h>
#include <rvoapi.h>

#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <strings.h>

namespace kora {

namespace {

constexpr const char* kPreTooLong =
    "_CompileRouting: Insufficient BufferSize (%li) for PRE-Routing - String truncated";
constexpr const char* kPostTooLong =
    "_CompileRouting: Insufficient BufferSize (%li) for POST-Routing - String truncated";
constexpr const char* kUndoPrefix = "#|";
constexpr const char* kConnectionLine = "\\s*([^>\\s]+)\\s*>\\s*([^>\\s]+)\\s*";
constexpr const char* kLogicalNames = "LogicalNames";
constexpr const char* kChannelTableKey = "AppChannelTable";

// The connection-line pattern, compiled once for the process.
const QRegularExpression& ConnectionLine() {
    static const QRegularExpression pattern(QString::fromLatin1(kConnectionLine));
    return pattern;
}

// Copies at most size - 1 characters; false when the text reached that length.
bool CopyRouting(char* out, std::size_t size, std::string_view text) {
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = 0;
    return n < size - 1;
}

} // namespace

int32_t _CompileRouting(const char* preText, const char* postText, char* preOut, char* postOut,
                        std::size_t size, char* message) {
    if (size == 0) {
        return 1;
    }
    preOut[0] = 0;
    postOut[0] = 0;
    if (!CopyRouting(preOut, size, OrEmpty(preText))) {
        FormatText(message, kMessageSize, kPreTooLong, static_cast<long>(size - 1));
        return 1;
    }
    std::string post = OrEmpty(postText);
    if (post.rfind(kUndoPrefix, 0) == 0) {
        post = preOut;
        for (char& c : post) {
            if (c == '>') {
                c = '|';
            }
        }
    }
    if (!CopyRouting(postOut, size, post)) {
        FormatText(message, kMessageSize, kPostTooLong, static_cast<long>(size - 1));
        return 1;
    }
    return 0;
}

void ResolveChannelName(const char* physicalName, const char* benchName, char* out,
                        std::size_t size) {
    out[0] = 0;
    StepError ignored;
    char section[64], table[64];
    // Unlike the set-up, which falls back to the bench name as its section, a bench that
    // "LogicalNames" does not list has no channel names here.
    if (!physicalName || !benchName ||
        !ReadConfigKey(kSoftwareConfigFile, kLogicalNames, benchName, section, sizeof section,
                       ignored) ||
        !ReadConfigKey(kSoftwareConfigFile, section, kChannelTableKey, table, sizeof table,
                       ignored)) {
        return;
    }
    int32_t keys = 0, warning = 0, code = 0;
    char message[kMessageSize] = {};
    RESMGR_Number_Of_Keys(0, kSoftwareConfigFile, table, &keys, &warning, &code, message);
    for (long k = 1; code >= 0 && k <= keys; ++k) {
        char name[RESMGR_NAME_SIZE] = {}, value[RESMGR_VALUE_SIZE] = {};
        RESMGR_Nth_Key_Value(0, kSoftwareConfigFile, table, k, value, &warning, &code, message);
        if (code >= 0 && strcasecmp(value, physicalName) == 0) {
            RESMGR_Nth_Key_Name(0, kSoftwareConfigFile, table, k, name, &warning, &code, message);
            if (code >= 0) {
                CopyText(out, size, name);
            }
            return;
        }
    }
}

int32_t RouteExecute(const BenchRecord* bench, const char* command, int32_t* status,
                     int32_t* errorCode, char* message) {
    const int32_t result =
        ROUTE_Execute(0, bench ? bench->routing.handle : -1, command, status, errorCode, message);
    if (*errorCode != ROUTE_ERR_CONNECTION) {
        return result;
    }
    const QStringList lines = QString::fromUtf8(message).split(QLatin1Char('\n'));
    QStringList rewritten;
    for (const QString& line : lines) {
        const auto match = ConnectionLine().match(line, 0, QRegularExpression::NormalMatch,
                                                  QRegularExpression::AnchorAtOffsetMatchOption);
        if (!match.hasMatch() || match.capturedLength(0) != line.size()) {
            rewritten << line;
            continue;
        }
        char first[64], second[64];
        const QByteArray a = match.captured(1).toUtf8(), b = match.captured(2).toUtf8();
        ResolveChannelName(a.constData(), bench ? bench->name : nullptr, first, sizeof first);
        ResolveChannelName(b.constData(), bench ? bench->name : nullptr, second, sizeof second);
        rewritten << QStringLiteral("%1 (%2) > %3 (%4)")
                         .arg(match.captured(1), QString::fromUtf8(first), match.captured(2),
                              QString::fromUtf8(second));
    }
    const QByteArray text = rewritten.join(QLatin1Char('\n')).toUtf8();
    CopyText(message, kMessageSize, std::string_view(text.constData(), text.size()));
    return result;
}

bool RunRoutingList(const BenchRecord* bench, const char* text, const char* source, char* warning,
                    StepError& error) {
    // A user's list runs even on a bench without routing: the call on its invalid handle fails
    // and ends the step, as on the target platform, instead of leaving the connections the
    // program asked for silently unmade.
    if (!text || !*text) {
        return true;
    }
    int32_t status = 0, code = 0;
    char message[kMessageSize] = {};
    const int32_t result = RouteExecute(bench, text, &status, &code, message);
    if (code < 0) {
        error.Set(static_cast<uint32_t>(code), message);
        return false;
    }
    if (result > 0) {
        FormatWarning(source, static_cast<uint32_t>(result), message, warning);
    }
    return true;
}

namespace {

// One entry of the switching library's display: level 0 for a group line ("$"), 1..3 by
// indentation.
struct DisplayEntry {
    int level = 1;
    std::string name, path;
    bool closed = false;
};

DisplayEntry ParseEntry(std::string_view line) {
    DisplayEntry e;
    std::size_t i = 0;
    while (i < line.size() && line[i] == ' ') {
        ++i;
    }
    e.level = i >= 16 ? 3 : (i >= 8 ? 2 : 1);
    if (i < line.size() && line[i] == '$') {
        e.level = 0;
        ++i;
    }
    std::size_t end = line.find_first_of(" (", i);
    e.name = std::string(line.substr(i, end == std::string_view::npos ? line.size() - i : end - i));
    if (end == std::string_view::npos) {
        return e;
    }
    std::string_view rest = line.substr(end);
    const std::size_t open = rest.find('('), close = rest.find(')');
    std::string_view flags = rest;
    if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
        e.path = std::string(rest.substr(open + 1, close - open - 1));
        flags = rest.substr(close + 1);
    }
    e.closed = flags.find('O') != std::string_view::npos;
    return e;
}

} // namespace

void ShowRouting(const BenchRecord* bench, const char* stepName) {
    if (!bench) {
        return;
    }
    int32_t length = 0, warning = 0, code = 0;
    char message[kMessageSize] = {};
    ROUTE_GetDisplayString(0, bench->routing.handle, nullptr, 0, &length, &warning, &code, message);
    std::string display;
    if (code >= 0 && length > 0) {
        display.resize(static_cast<std::size_t>(length) + 1);
        ROUTE_GetDisplayString(0, bench->routing.handle, display.data(), length + 1, &length,
                               &warning, &code, message);
        display.resize(code >= 0 ? std::strlen(display.c_str()) : 0);
    }
    char head[256];
    if (display.empty()) {
        FormatText(head, sizeof head, "ROUTING [%s] - %s ........ NONE\n", bench->name,
                   OrEmpty(stepName));
        rvo_GUIMessage(1, head);
        return;
    }
    FormatText(head, sizeof head, "ROUTING [%s] - %s\n", bench->name, OrEmpty(stepName));
    std::string text = head;
    int groups = 0;
    std::string parents[3];
    std::string_view rest = display;
    while (!rest.empty()) {
        const std::size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        if (!line.empty() && line[0] == '\r') {
            line.remove_prefix(1); // a group separator
        }
        if (line.find_first_not_of(' ') == std::string_view::npos) {
            continue;
        }
        const DisplayEntry e = ParseEntry(line);
        const char flag = e.closed ? '*' : ' ';
        char out[512];
        switch (e.level) {
        case 0:
            ++groups;
            parents[0] = e.name;
            FormatText(out, sizeof out, "      L %s\n", e.name.c_str());
            break;
        case 1:
            parents[1] = e.name;
            FormatText(out, sizeof out, "\t L %s%c    (%s)\n", e.name.c_str(), flag,
                       e.path.c_str());
            break;
        case 2:
            parents[2] = e.name;
            FormatText(out, sizeof out, "             L %s __ %s%c    (%s)\n", parents[1].c_str(),
                       e.name.c_str(), flag, e.path.c_str());
            break;
        default:
            FormatText(out, sizeof out, "%s __ %s __ %s%c    (%s)\n", parents[1].c_str(),
                       parents[2].c_str(), e.name.c_str(), flag, e.path.c_str());
            break;
        }
        text += out;
    }
    if (groups > 1 && !text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    rvo_GUIMessage(1, text.c_str());
}

} // namespace kora
