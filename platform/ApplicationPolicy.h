#pragma once

// Whether a windowed application ends when its last window closes. Where the desktop offers no
// way back to a windowless application (no Dock, no menu bar), it must.
bool quitsWhenLastWindowCloses();
