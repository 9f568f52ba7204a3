// Palaver for C# (Mono, .NET, game engines that load native plugins): P/Invoke
// declarations of the C interface (palaver_c.h) and a small client over them.
//
// Records cross as byte arrays laid out as in palaver_records.h and palaver_c.h,
// so no marshaler copies or reorders them, and text crosses as bytes in the
// room's code page (GBK by default).
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;

namespace Palaver
{
    // The C functions. Strings go in as NUL-terminated byte arrays; the
    // library's own constant strings come back as IntPtr, because a `string`
    // return would make the marshaler free memory the library owns.
    public static class Native
    {
        const string Library = "Palaver";  // libPalaver.so, Palaver.dll

        public const int UserSize = 83;    // stUserInfo, packed
        public const int ActionSize = 9;   // stActionContent, packed
        public const int LineSize = 520;   // palaver_chat_line, natural alignment
        public const int LineTextOffset = 16;
        public const int TextMax = 500;

        [DllImport(Library)] public static extern IntPtr palaver_version();
        [DllImport(Library)] public static extern int palaver_last_error();
        [DllImport(Library)] public static extern IntPtr palaver_error_text(int code);
        [DllImport(Library)] public static extern IntPtr palaver_last_error_detail();
        [DllImport(Library)] public static extern IntPtr palaver_client_new();
        [DllImport(Library)] public static extern void palaver_client_free(IntPtr client);
        [DllImport(Library)] public static extern int palaver_set_server(IntPtr client, byte[] address, int port);
        [DllImport(Library)] public static extern int palaver_set_tls(IntPtr client, int enable);
        [DllImport(Library)] public static extern int palaver_set_tls_ca_file(IntPtr client, byte[] pemPath);
        [DllImport(Library)] public static extern int palaver_set_tls_verify(IntPtr client, int verify);
        [DllImport(Library)] public static extern int palaver_login(IntPtr client, [In, Out] byte[] user, byte[] login);
        [DllImport(Library)] public static extern int palaver_logout(IntPtr client);
        [DllImport(Library)] public static extern int palaver_is_connected(IntPtr client);
        [DllImport(Library)] public static extern int palaver_send_talk(IntPtr client, int target, byte[] text, int whisper);
        [DllImport(Library)] public static extern int palaver_send_talks(IntPtr client, int target, IntPtr[] texts, UIntPtr count, int whisper);
        [DllImport(Library)] public static extern int palaver_do_action(IntPtr client, int target, byte action);
        [DllImport(Library)] public static extern int palaver_walk(IntPtr client, double x, double y, double z, float fourth);
        [DllImport(Library)] public static extern int palaver_change_name(IntPtr client, byte[] name);
        [DllImport(Library)] public static extern int palaver_request_room_list(IntPtr client);
        [DllImport(Library)] public static extern int palaver_get_users(IntPtr client, [Out] byte[] users, UIntPtr capacity, out UIntPtr written);
        [DllImport(Library)] public static extern int palaver_get_talk(IntPtr client, [Out] byte[] lines, UIntPtr capacity, out UIntPtr written);
        [DllImport(Library)] public static extern int palaver_get_actions(IntPtr client, [Out] byte[] actions, UIntPtr capacity, out UIntPtr written);
        [DllImport(Library)] public static extern int palaver_copy_self(IntPtr client, [Out] byte[] self);
        [DllImport(Library)] public static extern int palaver_wait(IntPtr client, int timeoutMs);
    }

    // A refused or failed call: the library's error code and its text.
    public class PalaverException : Exception
    {
        public readonly int Code;
        public PalaverException(int code, string what)
            : base(what + ": " + Marshal.PtrToStringAnsi(Native.palaver_error_text(code)) + " (code " + code + ")")
        {
            Code = code;
        }
    }

    public struct User
    {
        public int Id;
        public string Name;
        public uint Room;
    }

    public struct ChatLine
    {
        public int Sender;   // -2: a notice of the library
        public int Target;
        public bool Whisper;
        public string Text;
    }

    public struct PalaverAction
    {
        public int Sender;
        public int Target;
        public byte Action;
    }

    [Flags]
    public enum Events
    {
        None = 0, Talk = 1, Action = 2, Users = 4, Disconnected = 8
    }

    // One client: its own connection, receive thread and room. Dispose logs
    // out and frees it; do not dispose while another thread still calls it.
    public sealed class Client : IDisposable
    {
        IntPtr handle;
        public readonly Encoding CodePage;
        // The library's notice words are GBK whatever the room's code page.
        public static readonly Encoding Gbk = Encoding.GetEncoding(936);

        public Client(Encoding codePage = null)
        {
            CodePage = codePage ?? Gbk;
            handle = Native.palaver_client_new();
            if (handle == IntPtr.Zero)
                throw new OutOfMemoryException("palaver_client_new");
        }

        public void Dispose()
        {
            if (handle != IntPtr.Zero)
                Native.palaver_client_free(handle);  // ends the connection first
            handle = IntPtr.Zero;
            GC.SuppressFinalize(this);
        }

        ~Client() { Dispose(); }

        byte[] Bytes(string text)
        {
            if (text.IndexOf('\0') >= 0)
                throw new ArgumentException("text with a NUL character");
            byte[] encoded = CodePage.GetBytes(text);
            Array.Resize(ref encoded, encoded.Length + 1);
            return encoded;
        }

        // The last error is the calling thread's: read it right after the call.
        // Its detail, when there is one, is the failing layer's own reason
        // (why TLS refused the server's certificate).
        static PalaverException LastError(string what)
        {
            string detail = Marshal.PtrToStringAnsi(Native.palaver_last_error_detail());
            return new PalaverException(Native.palaver_last_error(),
                string.IsNullOrEmpty(detail) ? what : what + " (" + detail + ")");
        }

        static void Check(int result, int failed, string what)
        {
            if (result == failed)
                throw LastError(what);
        }

        // TLS from the next login on; the certificate is checked against the
        // system's trust store or `caFile` (PEM). verify: false is for tests
        // and labs only.
        public void UseTls(bool enable = true, string caFile = null, bool verify = true)
        {
            byte[] path = caFile == null ? null : Encoding.UTF8.GetBytes(caFile + "\0");
            Check(Native.palaver_set_tls_ca_file(handle, path), 0, "UseTls");
            Check(Native.palaver_set_tls_verify(handle, verify ? 1 : 0), 0, "UseTls");
            Check(Native.palaver_set_tls(handle, enable ? 1 : 0), 0, "UseTls");
        }

        public void SetServer(string address, int port)
        {
            Check(Native.palaver_set_server(handle, Encoding.ASCII.GetBytes(address + "\0"), port), 0, "SetServer");
        }

        // Logs in as `name` to `room`; returns the own record with its user id.
        public User Login(string name, uint room = 0, string login = "")
        {
            byte[] record = new byte[Native.UserSize];
            byte[] nameBytes = CodePage.GetBytes(name);
            if (nameBytes.Length > 30)
                throw new PalaverException(-2, "Login");  // the name field holds 30 bytes
            Array.Copy(nameBytes, 0, record, 4, nameBytes.Length);
            BitConverter.GetBytes(room).CopyTo(record, 79);  // the location key, little-endian
            int result = Native.palaver_login(handle, record, Bytes(login));
            if (result == 0)
                throw LastError("Login");
            if (result != 1)
                throw new PalaverException(-9, "Login (server's answer " + result + ")");
            return UserAt(record, 0);
        }

        public void Logout() { Native.palaver_logout(handle); }
        public bool Connected { get { return Native.palaver_is_connected(handle) == 1; } }

        public void Say(string text) { Check(Native.palaver_send_talk(handle, -1, Bytes(text), 0), 0, "Say"); }
        public void Whisper(int target, string text) { Check(Native.palaver_send_talk(handle, target, Bytes(text), 1), 0, "Whisper"); }
        // Many lines to the room in as few writes as the system allows (a bot
        // replaying a log, a bridge relaying a burst). The texts are pinned
        // for the call only; one that is too long refuses the whole batch.
        public void SayAll(IList<string> texts)
        {
            var pins = new GCHandle[texts.Count];
            var pointers = new IntPtr[texts.Count];
            try
            {
                for (int i = 0; i < texts.Count; i++)
                {
                    pins[i] = GCHandle.Alloc(Bytes(texts[i]), GCHandleType.Pinned);
                    pointers[i] = pins[i].AddrOfPinnedObject();
                }
                Check(Native.palaver_send_talks(handle, -1, pointers, (UIntPtr)texts.Count, 0), 0, "SayAll");
            }
            finally
            {
                foreach (GCHandle pin in pins)
                    if (pin.IsAllocated)
                        pin.Free();
            }
        }
        public void Act(byte action, int target = -1) { Check(Native.palaver_do_action(handle, target, action), 0, "Act"); }
        public void Walk(double x, double y, double z, float heading = 0) { Check(Native.palaver_walk(handle, x, y, z, heading), 0, "Walk"); }
        public void Rename(string name) { Check(Native.palaver_change_name(handle, Bytes(name)), 0, "Rename"); }
        public void RequestRoomList() { Check(Native.palaver_request_room_list(handle), 0, "RequestRoomList"); }

        // Events bits that hold; Events.None after the time-out.
        public Events Wait(int timeoutMs)
        {
            int bits = Native.palaver_wait(handle, timeoutMs);
            Check(bits, -1, "Wait");
            return (Events)bits;
        }

        public User Self()
        {
            byte[] record = new byte[Native.UserSize];
            Check(Native.palaver_copy_self(handle, record), 0, "Self");
            return UserAt(record, 0);
        }

        public List<User> Users()
        {
            var users = new List<User>();
            foreach (byte[] batch in Drain(Native.palaver_get_users, Native.UserSize, "Users"))
                for (int at = 0; at < batch.Length; at += Native.UserSize)
                    users.Add(UserAt(batch, at));
            return users;
        }

        // Takes the chat lines and notices that arrived, oldest first.
        public List<ChatLine> Lines()
        {
            var lines = new List<ChatLine>();
            foreach (byte[] batch in Drain(Native.palaver_get_talk, Native.LineSize, "Lines"))
                for (int at = 0; at < batch.Length; at += Native.LineSize)
                {
                    int sender = BitConverter.ToInt32(batch, at);
                    int length = Math.Min((int)BitConverter.ToUInt16(batch, at + 14), Native.TextMax);
                    lines.Add(new ChatLine {
                        Sender = sender,
                        Target = BitConverter.ToInt32(batch, at + 4),
                        Whisper = batch[at + 12] != 0,
                        // A notice's words are GBK, its names in the room's code page:
                        // with the GBK default the whole text reads right.
                        Text = (sender == -2 ? Gbk : CodePage).GetString(batch, at + Native.LineTextOffset, length)
                    });
                }
            return lines;
        }

        // Takes the latest action of each (sender, target) pair.
        public List<PalaverAction> Actions()
        {
            var actions = new List<PalaverAction>();
            foreach (byte[] batch in Drain(Native.palaver_get_actions, Native.ActionSize, "Actions"))
                for (int at = 0; at < batch.Length; at += Native.ActionSize)
                    actions.Add(new PalaverAction {
                        Sender = BitConverter.ToInt32(batch, at),
                        Target = BitConverter.ToInt32(batch, at + 4),
                        Action = batch[at + 8]
                    });
            return actions;
        }

        delegate int Query(IntPtr client, byte[] buffer, UIntPtr capacity, out UIntPtr written);

        // Each batch holds exactly the records written; more batches while more wait.
        IEnumerable<byte[]> Drain(Query query, int size, string what)
        {
            int capacity = 32;
            for (;;)
            {
                byte[] buffer = new byte[capacity * size];
                UIntPtr written;
                int more = query(handle, buffer, (UIntPtr)capacity, out written);
                Check(more, -1, what);
                Array.Resize(ref buffer, (int)written * size);
                yield return buffer;
                if (more == 0)
                    yield break;
                capacity = Math.Max(capacity, more);
            }
        }

        User UserAt(byte[] records, int at)
        {
            int end = at + 4;
            while (end < at + 34 && records[end] != 0)
                end++;
            return new User {
                Id = BitConverter.ToInt32(records, at),
                Name = CodePage.GetString(records, at + 4, end - at - 4),
                Room = BitConverter.ToUInt32(records, at + 79)
            };
        }
    }
}
