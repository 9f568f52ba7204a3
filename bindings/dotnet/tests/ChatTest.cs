// Two clients as a game script would use them, against the palaver-server
// on loopback whose port is in PALAVER_PORT: log in, talk, hear the other's
// line, log out. Exit status 0 when everything held.
using System;
using System.Collections.Generic;
using System.Diagnostics;
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
        Console.WriteLine(failures == 0 ? "all held" : failures + " failed");
        return failures == 0 ? 0 : 1;
    }
}
