// The user32.dll functions through which energy-report.ps1 drives Kronvel's dialog.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Kv
{
    public static class User32
    {
        [DllImport("user32.dll", CharSet = CharSet.Unicode)]
        public static extern IntPtr FindWindowW(string className, string title);

        [DllImport("user32.dll")]
        public static extern int GetWindowThreadProcessId(IntPtr window, out int processId);

        [DllImport("user32.dll")]
        public static extern IntPtr GetDlgItem(IntPtr dialog, int id);

        [DllImport("user32.dll", EntryPoint = "SendMessageW", CharSet = CharSet.Unicode)]
        public static extern IntPtr SendString(IntPtr window, int message, IntPtr wParam, string lParam);

        [DllImport("user32.dll", EntryPoint = "SendMessageW", CharSet = CharSet.Unicode)]
        public static extern IntPtr SendBuffer(IntPtr window, int message, IntPtr wParam, StringBuilder lParam);

        [DllImport("user32.dll", EntryPoint = "SendMessageW")]
        public static extern IntPtr Send(IntPtr window, int message, IntPtr wParam, IntPtr lParam);
    }
}
