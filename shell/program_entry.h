#pragma once
// The program's entry: one instance per mode, COM, and the attempts that run
// the update on a worker thread while the window's thread pumps messages.

namespace orvek {

inline constexpr wchar_t updater_mutex_name[] = L"Local\\ORVEK.Updater.SingleInstance";
inline constexpr wchar_t piano_bank_mutex_name[] = L"Local\\ORVEK.PianoBank.SingleInstance";

inline constexpr wchar_t updater_refusal_text[] =
    L"ORVEK Updater is already running or could not acquire its installation lock.";
// The Persian word before "آن" ends in U+0647 U+0654 (not the precomposed
// U+06C0): 115 UTF-16 units in all.
inline constexpr wchar_t piano_bank_refusal_text[] =
    L"Piano sound download is already running. Switch to its window. / دانلود پیانو در حال اجراست؛ پنجرهٔ آن را باز کنید.";

// Shown when the window cannot be created: without it nobody could end the
// attempt's message loop, so the program stops instead of running unseen.
inline constexpr wchar_t window_failure_text[] =
    L"ORVEK Updater could not create its window. Close other programs and try again.";

// "--piano-bank" as a whole argument after the program name.
bool has_piano_bank_switch();
bool has_piano_bank_switch(const wchar_t* command_line);

const wchar_t* single_instance_mutex_name(bool piano);

// What one attempt's worker runs: run_update in the program.
using update_function = int (*)();

// The worker thread's body: below-normal priority, the update, its result
// stored and posted to the window.
void run_worker(int& result, update_function update);

struct worker_closure {
    int& result;
    update_function update;
    void operator()() const { run_worker(result, update); }
};

// Runs attempts in the window that create_main_window made until one ends
// without Retry; returns the last attempt's result.
int run_attempts(update_function update);

// The whole of wWinMain; returns the exit code.
int run_program();

}  // namespace orvek
