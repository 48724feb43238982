#pragma once

class AppDelegate;

namespace quorvane::unattended {

// Loads the window "MainMenu": a window with its progress text, progress bar
// and button, and an AppDelegate whose outlets are connected to them, whose
// onButtonPushed is the button's action, and which becomes the application's
// delegate. Like the top-level objects of a loaded nib, they stay for the
// rest of the process. Returns the delegate.
AppDelegate* loadMainMenu();

}  // namespace quorvane::unattended
