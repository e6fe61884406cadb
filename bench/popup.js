// The Windows Script Host peer: WScript.Shell Popup with a timeout.
// Arguments: text, caption, timeout in seconds (0: none).
var args = WScript.Arguments;
var shell = new ActiveXObject("WScript.Shell");
WScript.Quit(shell.Popup(args(0), parseInt(args(2), 10), args(1), 4 + 32));
