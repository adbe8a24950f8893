// invokemodule demo: load the bundled demo extension and call it in both forms.
"demo" invokeModule "hello";
"demo" invokeModule "stressed";
"demo" invokeModule ["sum", [1, 2, 3.5]];
// The next call answers at once; its callback arrives from another thread during the pause.
"demo" invokeModule ["notify", ["ping from the demo's own thread"]];
sleep 0.5
freeExtension "demo";
