// What a crontab line may be: a pure function of the text, with no system
// calls and no state. It never refuses anything; the person decides.

#include "lines.h"

#include <string.h>
#include <strings.h>

const char unended_last_line[] =
	"no newline at the end (many schedulers ignore a last line without one)";

// The part of a line being read: [at, end).
struct Text {
	const char *at;
	const char *end;
};

struct Field {
	const char *bad;
	const char *backwards;
	const char *zero_step;
	int low;
	int high;
	// Three-letter names for low, low + 1, ..., or nullptr.
	const char *const *names;
};

static const char *const months[] = {"jan", "feb", "mar", "apr", "may", "jun",  "jul",
				     "aug", "sep", "oct", "nov", "dec", nullptr};
static const char *const days[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat", nullptr};

static const Field fields[] = {
	{"bad minute (0-59)", "minute range starts past its end", "minute step of 0", 0, 59,
	 nullptr},
	{"bad hour (0-23)", "hour range starts past its end", "hour step of 0", 0, 23, nullptr},
	{"bad day of month (1-31)", "day of month range starts past its end",
	 "day of month step of 0", 1, 31, nullptr},
	{"bad month (1-12 or jan-dec)", "month range starts past its end", "month step of 0", 1, 12,
	 months},
	{"bad day of week (0-7 or sun-sat)", "day of week range starts past its end",
	 "day of week step of 0", 0, 7, days},
};

static const char *const schedules[] = {"@reboot", "@yearly",   "@annually", "@monthly", "@weekly",
					"@daily",  "@midnight", "@hourly",   nullptr};

static bool blank(char c)
{
	return c == ' ' || c == '\t';
}

static void skip_blanks(Text *t)
{
	while (t->at < t->end && blank(*t->at))
		t->at++;
}

// The next word, up to a blank or the end.
static Text take_word(Text *t)
{
	Text word = {t->at, t->at};
	while (word.end < t->end && !blank(*word.end))
		word.end++;
	t->at = word.end;
	return word;
}

static bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

// The number at t; -1 when there is none. Numbers past 9999 count as out
// of any range.
static int take_number(Text *t)
{
	if (t->at == t->end || !is_digit(*t->at))
		return -1;
	int value = 0;
	for (; t->at < t->end && is_digit(*t->at); t->at++)
		value = value < 10000 ? value * 10 + (*t->at - '0') : value;
	return value;
}

// A number or a name of the field at t, as its value; -1 when neither.
static int take_value(Text *t, const Field &f)
{
	int number = take_number(t);
	if (number >= 0)
		return number;
	for (int i = 0; f.names != nullptr && f.names[i] != nullptr; i++)
		if (t->end - t->at >= 3 && strncasecmp(t->at, f.names[i], 3) == 0) {
			t->at += 3;
			return f.low + i;
		}
	return -1;
}

static bool in_range(int value, const Field &f)
{
	return value >= f.low && value <= f.high;
}

// One item of a list: *, a value or a range, and an optional step.
static const char *check_item(Text item, const Field &f)
{
	if (item.at < item.end && *item.at == '*') {
		item.at++;
	} else {
		int first = take_value(&item, f);
		int last = first;
		if (item.at < item.end && *item.at == '-') {
			item.at++;
			last = take_value(&item, f);
		}
		if (!in_range(first, f) || !in_range(last, f))
			return f.bad;
		if (first > last)
			return f.backwards;
	}
	if (item.at < item.end && *item.at == '/') {
		item.at++;
		int step = take_number(&item);
		if (step < 0 || item.at != item.end)
			return f.bad;
		return step == 0 ? f.zero_step : nullptr;
	}
	return item.at == item.end ? nullptr : f.bad;
}

// A comma-separated list of items.
static const char *check_field(Text word, const Field &f)
{
	for (;;) {
		const char *comma = static_cast<const char *>(
			memchr(word.at, ',', static_cast<size_t>(word.end - word.at)));
		Text item = {word.at, comma != nullptr ? comma : word.end};
		if (const char *why = check_item(item, f))
			return why;
		if (comma == nullptr)
			return nullptr;
		word.at = comma + 1;
	}
}

static int count_words(Text t)
{
	int words = 0;
	for (skip_blanks(&t); t.at < t.end; skip_blanks(&t), words++)
		take_word(&t);
	return words;
}

// *t is left at the command.
static const char *check_times(Text *t)
{
	// "* * * * date" is a field short, not a day of the week named "date".
	if (count_words(*t) < 6)
		return "too few fields (five times and a command)";
	for (const Field &f : fields) {
		skip_blanks(t);
		if (const char *why = check_field(take_word(t), f))
			return why;
	}
	skip_blanks(t);
	return nullptr;
}

static const char *check_schedule(Text *t)
{
	Text word = take_word(t);
	size_t len = static_cast<size_t>(word.end - word.at);
	bool known = false;
	for (int i = 0; schedules[i] != nullptr && !known; i++)
		known = strlen(schedules[i]) == len && strncasecmp(word.at, schedules[i], len) == 0;
	if (!known)
		return "unknown @ schedule (@reboot, @yearly, @annually, @monthly, @weekly, "
		       "@daily, @midnight or @hourly)";
	skip_blanks(t);
	return t->at == t->end ? "no command" : nullptr;
}

// The schedule of a job, checked; *t is left at its command. nullptr when
// the line is no job at all.
static const char *check_job(Text *t, bool *job)
{
	*job = t->at < t->end && (*t->at == '@' || *t->at == '*' || is_digit(*t->at));
	if (!*job)
		return nullptr;
	return *t->at == '@' ? check_schedule(t) : check_times(t);
}

// The scheduler ends the command at a % and feeds the rest to its input.
static bool unescaped_percent(Text command)
{
	for (const char *p = command.at; p < command.end; p++)
		if (*p == '%' && (p == command.at || p[-1] != '\\'))
			return true;
	return false;
}

static bool name_start(char c)
{
	return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

// NAME, optional blanks, "=": the rest is the value, whatever it is.
static bool is_setting(Text t)
{
	if (t.at == t.end || !name_start(*t.at))
		return false;
	while (t.at < t.end && (name_start(*t.at) || is_digit(*t.at)))
		t.at++;
	skip_blanks(&t);
	return t.at < t.end && *t.at == '=';
}

static const char carriage_return[] =
	"ends in a carriage return (the scheduler would take it as part of the line)";
static const char percent[] = "unescaped % in the command (the scheduler ends the command there "
			      "and feeds the rest to its standard input; write \\% for a %)";

// The line without a carriage return that ends it, blanks before it skipped.
static Text content(const char *line, size_t len, bool *returned)
{
	*returned = len > 0 && line[len - 1] == '\r';
	Text t = {line, line + len - (*returned ? 1 : 0)};
	skip_blanks(&t);
	return t;
}

const char *line_problem(const char *line, size_t len)
{
	bool returned;
	Text t = content(line, len, &returned);
	if (t.at < t.end && *t.at == '#')
		return nullptr;
	bool job;
	if (const char *why = check_job(&t, &job))
		return why;
	if (!job && t.at < t.end && !is_setting(t))
		return "neither a job, a setting nor a comment";
	if (returned)
		return carriage_return;
	return job && unescaped_percent(t) ? percent : nullptr;
}

bool command_word(const char *line, size_t len, const char **word, size_t *word_len)
{
	bool returned;
	Text t = content(line, len, &returned);
	bool job;
	if (check_job(&t, &job) != nullptr || !job)
		return false;
	Text first = take_word(&t);
	*word = first.at;
	*word_len = static_cast<size_t>(first.end - first.at);
	return true;
}
