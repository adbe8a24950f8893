// The demo's answers in both call forms: a failing build if any of them changes.
"demo" invokeModule "hello";
"demo" invokeModule "stressed";
"demo" invokeModule ["sum", [1, 2, 3.5]];
"demo" invokeModule ["sum", []];
"demo" invokeModule ["no such function", []];
