// The demo answers at once and calls back from a thread of its own a moment later; the test
// mode prints those lines after the pause that waits for them, the same on every run.
"demo" invokeModule ["notify", ["first", "second"]];
sleep 0.5
freeExtension "demo";
