// Palaver for C# (Mono, .NET, game engines that load native plugins): P/Invoke
// declarations of the C interface (palaver_c.h) and a small client over them.
//
// Records cross as byte arrays laid out as in palaver_records.h and palaver_c.h,
// so no marshaler copies or reorders them, and text crosses as bytes in the
// room's code page (GBK by default).
using System;
using System.Collections.Generic;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using Microsoft.Win32.SafeHandles;

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
        [DllImport(Library)] public static extern ClientHandle palaver_client_new();
        [DllImport(Library)] public static extern void palaver_client_free(IntPtr client);
        [DllImport(Library)] public static extern int palaver_client_last_error(ClientHandle client);
        [DllImport(Library)] public static extern UIntPtr palaver_client_last_error_detail(ClientHandle client, [Out] byte[] buffer, UIntPtr capacity);
        [DllImport(Library)] public static extern int palaver_set_server(ClientHandle client, byte[] address, int port);
        [DllImport(Library)] public static extern int palaver_set_tls(ClientHandle client, int enable);
        [DllImport(Library)] public static extern int palaver_set_tls_ca_file(ClientHandle client, byte[] pemPath);
        [DllImport(Library)] public static extern int palaver_set_tls_verify(ClientHandle client, int verify);
        [DllImport(Library)] public static extern int palaver_login_with_status(ClientHandle client, [In, Out] byte[] user, byte[] login, out int serverStatus);
        [DllImport(Library)] public static extern int palaver_logout(ClientHandle client);
        [DllImport(Library, EntryPoint = "palaver_logout")] public static extern int palaver_logout_raw(IntPtr client);
        [DllImport(Library)] public static extern int palaver_is_connected(ClientHandle client);
        [DllImport(Library)] public static extern int palaver_send_talk(ClientHandle client, int target, byte[] text, int whisper);
        [DllImport(Library)] public static extern int palaver_send_talks(ClientHandle client, int target, IntPtr[] texts, UIntPtr count, int whisper);
        [DllImport(Library)] public static extern int palaver_do_action(ClientHandle client, int target, byte action);
        [DllImport(Library)] public static extern int palaver_walk(ClientHandle client, double x, double y, double z, float fourth);
        [DllImport(Library)] public static extern int palaver_change_name(ClientHandle client, byte[] name);
        [DllImport(Library)] public static extern int palaver_request_room_list(ClientHandle client);
        [DllImport(Library)] public static extern int palaver_get_users(ClientHandle client, [Out] byte[] users, UIntPtr capacity, out UIntPtr written);
        [DllImport(Library)] public static extern int palaver_get_talk(ClientHandle client, [Out] byte[] lines, UIntPtr capacity, out UIntPtr written);
        [DllImport(Library)] public static extern int palaver_get_actions(ClientHandle client, [Out] byte[] actions, UIntPtr capacity, out UIntPtr written);
        [DllImport(Library)] public static extern int palaver_copy_self(ClientHandle client, [Out] byte[] self);
        [DllImport(Library)] public static extern int palaver_wait(ClientHandle client, int timeoutMs);
        [DllImport(Library)] public static extern int palaver_wakeup(ClientHandle client);
        [DllImport(Library)] public static extern int palaver_set_send_limit(ClientHandle client, int limitMs);
        [DllImport(Library)] public static extern int palaver_set_talk_limit(ClientHandle client, UIntPtr maxLines, UIntPtr maxBytes);
        [DllImport(Library)] public static extern ulong palaver_dropped_talk(ClientHandle client);

        // 1.4: the host-driven client, the event descriptor, reconnect.
        [DllImport(Library)] public static extern ClientHandle palaver_client_new_host_driven();
        [DllImport(Library)] public static extern int palaver_is_host_driven(ClientHandle client);
        [DllImport(Library)] public static extern int palaver_want_write(ClientHandle client);
        [DllImport(Library)] public static extern int palaver_process(ClientHandle client);
        [DllImport(Library)] public static extern int palaver_next_timeout(ClientHandle client);
        [DllImport(Library)] public static extern int palaver_set_send_buffer(ClientHandle client, UIntPtr maxBytes);
        [DllImport(Library)] public static extern int palaver_set_reconnect(ClientHandle client, int enable);
        [DllImport(Library)] public static extern int palaver_set_reconnect_delays(ClientHandle client, int minDelayMs, int maxDelayMs, int jitterPercent, int maxTries);
        [DllImport(Library)] public static extern int palaver_reconnect_status(ClientHandle client, out int lastError);

        // A socket and an event are an int descriptor on POSIX, a SOCKET and a
        // HANDLE (pointer-sized) on Windows: an int return must not be read as
        // a pointer, whose upper half would be garbage.
        [DllImport(Library, EntryPoint = "palaver_socket_of")] static extern int palaver_socket_of_posix(ClientHandle client);
        [DllImport(Library, EntryPoint = "palaver_socket_of")] static extern IntPtr palaver_socket_of_windows(ClientHandle client);
        [DllImport(Library, EntryPoint = "palaver_event_of")] static extern int palaver_event_of_posix(ClientHandle client);
        [DllImport(Library, EntryPoint = "palaver_event_of")] static extern IntPtr palaver_event_of_windows(ClientHandle client);
        static readonly bool Windows = Environment.OSVersion.Platform == PlatformID.Win32NT;

        // The socket, or -1 when none is open (PALAVER_NO_SOCKET).
        public static IntPtr palaver_socket_of(ClientHandle client)
        {
            return Windows ? palaver_socket_of_windows(client) : (IntPtr)palaver_socket_of_posix(client);
        }

        // The descriptor (Windows: the event handle); -1 (POSIX) or 0 (Windows) for none.
        public static IntPtr palaver_event_of(ClientHandle client)
        {
            return Windows ? palaver_event_of_windows(client) : (IntPtr)palaver_event_of_posix(client);
        }
    }

    // The client as the runtime holds it: every call keeps it alive, so the
    // garbage collector cannot free a client while another thread is inside
    // one of its calls (a wait above all). The last reference frees it.
    public sealed class ClientHandle : SafeHandleZeroOrMinusOneIsInvalid
    {
        readonly object freeing = new object();
        bool freed;

        ClientHandle() : base(true) { }

        protected override bool ReleaseHandle()
        {
            lock (freeing)
            {
                Native.palaver_client_free(handle);  // ends the connection first
                freed = true;
            }
            return true;
        }

        // After Dispose: ends the connection and wakes every wait still
        // inside a call, round after round, until the last call has left and
        // the client is freed. A wait that began just after one round is
        // woken by the next.
        internal void WakeUntilFreed()
        {
            for (;;)
            {
                lock (freeing)
                {
                    if (freed || IsInvalid)
                        return;
                    Native.palaver_logout_raw(handle);
                }
                Thread.Sleep(20);
            }
        }
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

    // The server refused the login: ServerCode is its status (-3 a wrong
    // login string or an unknown name, -4 full, -5 banned, ...).
    public class LoginRefusedException : PalaverException
    {
        public readonly int ServerCode;
        public LoginRefusedException(int serverCode)
            : base(-9, "Login (server's status " + serverCode + ")")
        {
            ServerCode = serverCode;
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
        None = 0, Talk = 1, Action = 2, Users = 4, Disconnected = 8,
        Wakeup = 16,      // Wakeup() or Dispose() from another thread ended the wait
        Reconnected = 32  // logged in again after a break (SetReconnect); reported once
    }

    // One client: its own connection, receive thread and room. Every method
    // may be called from any thread; Dispose logs out, wakes the waits of
    // other threads and frees the client once their calls have returned.
    public sealed class Client : IDisposable
    {
        readonly ClientHandle handle;
        public readonly Encoding CodePage;
        // The library's notice words are GBK whatever the room's code page.
        public static readonly Encoding Gbk = CodePage936();

        // .NET (Core) knows code page 936 only once the code-pages provider is
        // registered; Mono and .NET Framework know it anyway. Found by name,
        // so that the binding builds against either.
        static Encoding CodePage936()
        {
            try
            {
                return Encoding.GetEncoding(936);
            }
            catch (Exception e) when (e is NotSupportedException || e is ArgumentException)
            {
                Type provider = Type.GetType("System.Text.CodePagesEncodingProvider, System.Text.Encoding.CodePages");
                MethodInfo register = typeof(Encoding).GetMethod("RegisterProvider");
                if (provider == null || register == null)
                    throw;
                register.Invoke(null, new[] { provider.GetProperty("Instance").GetValue(null) });
                return Encoding.GetEncoding(936);
            }
        }

        public Client(Encoding codePage = null) : this(Native.palaver_client_new(), codePage) { }

        Client(ClientHandle made, Encoding codePage)
        {
            CodePage = codePage ?? Gbk;
            handle = made;
            if (handle.IsInvalid)
                throw new OutOfMemoryException("palaver_client_new");
        }

        // A client without a receive thread, for a game's frame loop: each
        // frame (or when Socket is ready, or NextTimeout has run out) calls
        // Process() and takes what it reports. Sends never block; one that
        // would overfill the send buffer throws with code -19 (busy) and the
        // connection stays. Login still blocks (at most 10 s).
        public static Client HostDriven(Encoding codePage = null)
        {
            return new Client(Native.palaver_client_new_host_driven(), codePage);
        }

        public void Dispose()
        {
            if (handle.IsClosed)
                return;
            handle.Dispose();  // frees now, or when the last call under way returns
            handle.WakeUntilFreed();
        }

        byte[] Bytes(string text)
        {
            if (text.IndexOf('\0') >= 0)
                throw new ArgumentException("text with a NUL character");
            byte[] encoded = CodePage.GetBytes(text);
            Array.Resize(ref encoded, encoded.Length + 1);
            return encoded;
        }

        // The client's last error, kept by the library per client, so that it
        // is right whichever thread reads it (async continuations move). Its
        // detail, when there is one, is the failing layer's own reason (why
        // TLS refused the server's certificate).
        PalaverException LastError(string what)
        {
            byte[] detail = new byte[256];
            int length = (int)Native.palaver_client_last_error_detail(handle, detail, (UIntPtr)detail.Length);
            string words = Encoding.UTF8.GetString(detail, 0, Math.Min(length, detail.Length - 1));
            return new PalaverException(Native.palaver_client_last_error(handle),
                words.Length == 0 ? what : what + " (" + words + ")");
        }

        void Check(int result, int failed, string what)
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
            int serverStatus;
            int code = Native.palaver_login_with_status(handle, record, Bytes(login), out serverStatus);
            if (code == -9)
                throw new LoginRefusedException(serverStatus);
            if (code != 0)
                throw LastError("Login");  // a time-out, a broken reply, no connection...: each its code
            return UserAt(record, 0);
        }

        public void Logout() { Native.palaver_logout(handle); }
        // A send the system cannot take within this time (10 s by default)
        // ends the connection rather than blocking the caller longer.
        public void SetSendLimit(int limitMs) { Check(Native.palaver_set_send_limit(handle, limitMs), 0, "SetSendLimit"); }
        // At most this many lines and bytes wait for Lines(); past that the
        // oldest are dropped and counted in DroppedLines.
        public void SetTalkLimit(int maxLines, long maxBytes)
        {
            Check(Native.palaver_set_talk_limit(handle, (UIntPtr)maxLines, (UIntPtr)maxBytes), 0, "SetTalkLimit");
        }
        public ulong DroppedLines { get { return Native.palaver_dropped_talk(handle); } }
        public bool Connected { get { return Native.palaver_is_connected(handle) == 1; } }

        // -- the host's own loop (HostDriven clients) --
        public bool IsHostDriven { get { return Native.palaver_is_host_driven(handle) == 1; } }
        // The connection's socket (a descriptor, or a SOCKET on Windows) to
        // wait on, IntPtr(-1) when none is open. It changes with every login
        // and reconnect; the library reads, writes and closes it.
        public IntPtr Socket { get { return Native.palaver_socket_of(handle); } }
        // Bytes wait to be sent: wait for the socket to be writable too.
        public bool WantWrite { get { return Native.palaver_want_write(handle) == 1; } }
        // Milliseconds until Process() must run even if the socket stays
        // quiet; -1 when nothing is due.
        public int NextTimeout { get { return Native.palaver_next_timeout(handle); } }
        // Does what the socket is ready for without blocking (a reconnect try
        // that is due blocks like a login); returns what Wait(0) would.
        public Events Process()
        {
            int bits = Native.palaver_process(handle);
            Check(bits, -1, "Process");
            return (Events)bits;
        }
        // The most bytes kept for the socket; 1 MiB by default.
        public void SetSendBuffer(long maxBytes) { Check(Native.palaver_set_send_buffer(handle, (UIntPtr)maxBytes), 0, "SetSendBuffer"); }
        // For a threaded client in a host's loop: a descriptor (Windows: an
        // event handle) that is ready exactly while Wait(0) would report
        // something. The client owns it.
        public IntPtr EventHandle { get { return Native.palaver_event_of(handle); } }

        // -- reconnect --
        // When on, a connection that breaks after a login is logged in again
        // with the same record and login string: the first try after
        // minDelayMs, each next twice as late up to maxDelayMs, moved by up
        // to jitterPercent either way, at most maxTries in a row (0: no end).
        // While away Wait reports Events.Disconnected; once back,
        // Events.Reconnected. A refusal or Logout() stops the tries.
        public void SetReconnect(bool enable, int minDelayMs = 250, int maxDelayMs = 10000,
                                 int jitterPercent = 20, int maxTries = 0)
        {
            Check(Native.palaver_set_reconnect_delays(handle, minDelayMs, maxDelayMs, jitterPercent, maxTries), 0, "SetReconnect");
            Check(Native.palaver_set_reconnect(handle, enable ? 1 : 0), 0, "SetReconnect");
        }
        // True while away and trying again; lastError: why the last try
        // failed (0 when none has failed since the break).
        public bool Reconnecting(out int lastError) { return Native.palaver_reconnect_status(handle, out lastError) == 1; }

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

        // Events bits that hold; Events.None after the time-out. A negative
        // time-out waits without end: Wakeup() or Dispose() ends it.
        public Events Wait(int timeoutMs)
        {
            int bits = Native.palaver_wait(handle, timeoutMs);
            Check(bits, -1, "Wait");
            return (Events)bits;
        }

        // Ends one Wait of another thread at once with Events.Wakeup; when
        // none waits, the next Wait returns at once.
        public void Wakeup() { Check(Native.palaver_wakeup(handle), 0, "Wakeup"); }

        public User Self()
        {
            byte[] record = new byte[Native.UserSize];
            Check(Native.palaver_copy_self(handle, record), 0, "Self");
            return UserAt(record, 0);
        }

        // The room's other users, by id: a snapshot, sized by a first call that
        // copies nothing and copied whole by the second (a third when users
        // arrived in between).
        public List<User> Users()
        {
            UIntPtr written;
            int more = Native.palaver_get_users(handle, null, UIntPtr.Zero, out written);
            for (;;)
            {
                Check(more, -1, "Users");
                int capacity = (int)written + more + 8;
                byte[] records = new byte[capacity * Native.UserSize];
                more = Native.palaver_get_users(handle, records, (UIntPtr)capacity, out written);
                if (more != 0)
                    continue;
                var users = new List<User>((int)written);
                for (int at = 0; at < (int)written * Native.UserSize; at += Native.UserSize)
                    users.Add(UserAt(records, at));
                return users;
            }
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

        delegate int Query(ClientHandle client, byte[] buffer, UIntPtr capacity, out UIntPtr written);

        // Takes what a queue holds: each batch exactly the records written,
        // more batches while more wait.
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
