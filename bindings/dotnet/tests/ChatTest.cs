// Two clients as a game script would use them, against the palaver-server
// on loopback whose port is in PALAVER_PORT: log in, talk, hear the other's
// line, log out. Exit status 0 when everything held.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Net;
using System.Net.Sockets;
using System.Threading;
using Palaver;

static class ChatTest
{
    static int failures;

    static void Expect(bool held, string what)
    {
        Console.WriteLine((held ? "ok   " : "FAIL ") + what);
        if (!held)
            failures++;
    }

    // Waits (20 s at most) for `count` lines from `sender`; gives what came.
    static List<ChatLine> LinesFrom(Client client, int sender, int count)
    {
        var heard = new List<ChatLine>();
        var clock = Stopwatch.StartNew();
        while (heard.Count < count && clock.Elapsed.TotalSeconds < 20)
        {
            if (client.Wait(500) == Events.None)
                continue;
            foreach (ChatLine line in client.Lines())
                if (line.Sender == sender && heard.Count < count)
                    heard.Add(line);
        }
        return heard;
    }

    static ChatLine? LineFrom(Client client, int sender)
    {
        List<ChatLine> heard = LinesFrom(client, sender, 1);
        return heard.Count == 1 ? heard[0] : (ChatLine?)null;
    }

    // A server that answers one login with `reply` and hangs up; returns its
    // port.
    static int FakeLoginServer(byte[] reply)
    {
        var listener = new TcpListener(IPAddress.Loopback, 0);
        listener.Start();
        new Thread(() => {
            using (Socket peer = listener.AcceptSocket())
            {
                var request = new byte[4096];
                peer.Receive(request);
                peer.Send(reply);
            }
            listener.Stop();
        }) { IsBackground = true }.Start();
        return ((IPEndPoint)listener.LocalEndpoint).Port;
    }

    // The login's outcome against a fake server: the exception it threw.
    static PalaverException LoginAgainst(byte[] reply)
    {
        using (var client = new Client())
        {
            client.SetServer("127.0.0.1", FakeLoginServer(reply));
            try
            {
                client.Login("x");
                return null;
            }
            catch (PalaverException e)
            {
                return e;
            }
        }
    }

    static byte[] Ints(params int[] values)
    {
        var bytes = new List<byte>();
        foreach (int v in values)
            bytes.AddRange(BitConverter.GetBytes(v));
        return bytes.ToArray();
    }

    static int Main()
    {
        int port = int.Parse(Environment.GetEnvironmentVariable("PALAVER_PORT"));
        using (var alice = new Client())
        using (var bob = new Client())
        {
            alice.SetServer("127.0.0.1", port);
            bob.SetServer("127.0.0.1", port);
            User a = alice.Login("alice", 7);
            User b = bob.Login("小明", 7);
            Expect(a.Id > 0 && b.Id != a.Id && b.Name == "小明" && b.Room == 7, "both logged in to room 7");

            bob.Say("你好, alice");
            ChatLine? heard = LineFrom(alice, b.Id);
            Expect(heard.HasValue && heard.Value.Text == "你好, alice" && !heard.Value.Whisper,
                   "alice hears bob's line in GBK");
            alice.Whisper(b.Id, "psst");
            heard = LineFrom(bob, a.Id);
            Expect(heard.HasValue && heard.Value.Whisper && heard.Value.Target == b.Id, "bob gets alice's whisper");
            Expect(alice.Self().Id == a.Id, "the own record holds the own id");

            bob.SayAll(new[] { "一", "two", "三" });
            string burst = "";
            foreach (ChatLine line in LinesFrom(alice, b.Id, 3))
                burst += line.Text + "|";
            Expect(burst == "一|two|三|", "alice hears bob's batch whole and in order: " + burst);

            bob.Logout();
            Expect(!bob.Connected, "bob logged out");
            try
            {
                bob.Say("gone");
                Expect(false, "a send after logout fails");
            }
            catch (PalaverException e)
            {
                Expect(e.Code == -3, "a send after logout fails with 'not connected': " + e.Message);
            }
        }

        // A host-driven client in a game's frame loop: each frame waits at
        // most 10 ms, lets Process() read and write the socket and takes what
        // it reports.
        using (var carol = Client.HostDriven())
        {
            carol.SetServer("127.0.0.1", port);
            carol.SetReconnect(true, 100, 1000);
            User c = carol.Login("carol", 8);
            Expect(carol.IsHostDriven && carol.Socket != (IntPtr)(-1), "a host-driven client logs in and has a socket");
            carol.Say("frame by frame");
            string echo = null;
            var clock = Stopwatch.StartNew();
            while (echo == null && clock.Elapsed.TotalSeconds < 20)
            {
                carol.Wait(10);
                Events events = carol.Process();
                if ((events & Events.Users) != 0)
                    carol.Users();
                if ((events & Events.Talk) != 0)
                    foreach (ChatLine line in carol.Lines())
                        if (line.Sender == c.Id)
                            echo = line.Text;
            }
            Expect(echo == "frame by frame", "the frame loop hears its own line come back: " + echo);
            int lastError;
            Expect(!carol.Reconnecting(out lastError) && lastError == 0 && carol.NextTimeout >= 0,
                   "connected: no reconnect under way, a KeepAlive due: " + carol.NextTimeout);
        }

        // A room of 40 others: Users() copies the snapshot whole, at once.
        var crowd = new List<Client>();
        using (var host = new Client())
        {
            host.SetServer("127.0.0.1", port);
            host.Login("host", 9);
            for (int i = 0; i < 40; i++)
            {
                var guest = new Client();
                crowd.Add(guest);
                guest.SetServer("127.0.0.1", port);
                guest.Login("guest" + i, 9);
            }
            var clock = Stopwatch.StartNew();
            while (host.Users().Count < 40 && clock.Elapsed.TotalSeconds < 20)
                host.Wait(500);
            clock.Restart();
            int seen = host.Users().Count;
            Expect(seen == 40 && clock.Elapsed.TotalSeconds < 1, "Users() gives all 40 others at once: " + seen);

            // Wakeup ends a wait without end; Dispose ends another's.
            host.Users();
            host.Lines();
            Events woken = Events.None;
            var waiter = new Thread(() => woken = host.Wait(-1));
            waiter.Start();
            while (waiter.IsAlive && clock.Elapsed.TotalSeconds < 20)
            {
                host.Wakeup();
                waiter.Join(200);
            }
            Expect(!waiter.IsAlive && (woken & Events.Wakeup) != 0, "Wakeup ends a Wait(-1): " + woken);
            Client last = crowd[crowd.Count - 1];
            var ended = new Thread(() => { try { last.Wait(-1); } catch (ObjectDisposedException) { } });
            ended.Start();
            last.Dispose();
            Expect(ended.Join(20000), "Dispose ends another thread's Wait(-1)");
        }
        foreach (Client guest in crowd)
            guest.Dispose();

        // The login's outcomes told apart: a refusal with the server's own
        // status (even -1), a reply that broke off. (The time-out's own code
        // is checked through the C interface and Python.)
        PalaverException refused = LoginAgainst(Ints(-1));
        Expect(refused is LoginRefusedException && ((LoginRefusedException)refused).ServerCode == -1,
               "a refusal keeps the server's status -1: " + refused);
        PalaverException broken = LoginAgainst(Ints(1, 1));
        Expect(broken != null && broken.Code == -10, "a reply that breaks off: " + broken);

        Console.WriteLine(failures == 0 ? "all held" : failures + " failed");
        return failures == 0 ? 0 : 1;
    }
}
