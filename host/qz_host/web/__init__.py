"""The live map in the browser: its state, its server, and capture playback."""
