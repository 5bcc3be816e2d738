/* A GTK3 window with text inputs at known places, driven by commands on
 * standard input, for the end-to-end tests of the accessibility backend.
 *
 * Commands (one per line):
 *   focus <widget>   activate the window and focus the widget (filled, empty,
 *                    password, text, button), caret placed as set up; answers
 *                    "focused <widget> input x y w h caret x y w h" in
 *                    window coordinates (caret "none" for the button)
 *   hide / show      unmap / map and activate the window; answers "hidden" /
 *                    "shown"
 *   flood <n>        activate the window and move the focus n times between
 *                    two entries, as fast as the main loop allows; answers
 *                    "flooded <n>"
 * The first argument, if any, is the window's title (default "keychord e2e").
 * The window prints "ready <pid>" once it is mapped and active. */
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static GtkWidget *window, *filled, *empty, *password, *text, *button;
static GtkWidget *pending; /* widget waiting for focus */
static char pendingName[32];

static void placeCarets(void) {
    gtk_editable_set_position(GTK_EDITABLE(filled), -1);
    gtk_editable_select_region(GTK_EDITABLE(filled), -1, -1);
    gtk_editable_set_position(GTK_EDITABLE(password), -1);
    gtk_editable_select_region(GTK_EDITABLE(password), -1, -1);
    GtkTextBuffer *buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(text));
    GtkTextIter iter;
    gtk_text_buffer_get_iter_at_line(buffer, &iter, 1);
    gtk_text_iter_forward_to_line_end(&iter);
    gtk_text_buffer_place_cursor(buffer, &iter);
}

/* The widget's rectangle in the window's coordinates. */
static void widgetRect(GtkWidget *widget, GdkRectangle *rect) {
    GtkAllocation allocation;
    gtk_widget_get_allocation(widget, &allocation);
    gtk_widget_translate_coordinates(widget, window, 0, 0, &rect->x, &rect->y);
    rect->width = allocation.width;
    rect->height = allocation.height;
}

/* Caret of an entry: the layout's cursor position, in window coordinates. */
static void entryCaret(GtkWidget *widget, GdkRectangle *rect) {
    GtkEntry *entry = GTK_ENTRY(widget);
    int layoutX, layoutY;
    gtk_entry_get_layout_offsets(entry, &layoutX, &layoutY);
    PangoLayout *layout = gtk_entry_get_layout(entry);
    /* The layout shows the text (or one invisible character per character
     * of a password): find the caret's character there. */
    const char *shown = pango_layout_get_text(layout);
    int index = (int)(g_utf8_offset_to_pointer(shown, gtk_editable_get_position(GTK_EDITABLE(entry))) - shown);
    PangoRectangle strong;
    pango_layout_get_cursor_pos(layout, index, &strong, NULL);
    /* The layout offsets are relative to the entry. */
    int originX, originY;
    gtk_widget_translate_coordinates(widget, window, 0, 0, &originX, &originY);
    rect->x = originX + layoutX + PANGO_PIXELS(strong.x);
    rect->y = originY + layoutY + PANGO_PIXELS(strong.y);
    rect->width = 0;
    rect->height = PANGO_PIXELS(strong.height);
}

static void textCaret(GdkRectangle *rect) {
    GtkTextBuffer *buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(text));
    GtkTextIter iter;
    gtk_text_buffer_get_iter_at_mark(buffer, &iter, gtk_text_buffer_get_insert(buffer));
    GdkRectangle location;
    gtk_text_view_get_iter_location(GTK_TEXT_VIEW(text), &iter, &location);
    int x, y;
    gtk_text_view_buffer_to_window_coords(GTK_TEXT_VIEW(text), GTK_TEXT_WINDOW_WIDGET, location.x, location.y,
                                          &x, &y);
    int lineY, lineHeight;
    gtk_text_view_get_line_yrange(GTK_TEXT_VIEW(text), &iter, &lineY, &lineHeight);
    gtk_widget_translate_coordinates(text, window, x, y, &rect->x, &rect->y);
    rect->width = 0;
    rect->height = lineHeight;
}

static gboolean reportFocus(gpointer data) {
    (void)data;
    if (!pending) return G_SOURCE_REMOVE;
    if (!gtk_window_is_active(GTK_WINDOW(window)) || !gtk_widget_has_focus(pending)) {
        gtk_window_present(GTK_WINDOW(window));
        gtk_widget_grab_focus(pending);
        placeCarets();
        return G_SOURCE_CONTINUE;
    }
    GdkRectangle input, caret = {0, 0, 0, 0};
    widgetRect(pending, &input);
    gboolean hasCaret = TRUE;
    if (pending == text) {
        textCaret(&caret);
    } else if (pending == button) {
        hasCaret = FALSE;
    } else {
        entryCaret(pending, &caret);
    }
    if (hasCaret) {
        printf("focused %s input %d %d %d %d caret %d %d %d %d\n", pendingName, input.x, input.y, input.width,
               input.height, caret.x, caret.y, caret.width, caret.height);
    } else {
        printf("focused %s input %d %d %d %d caret none\n", pendingName, input.x, input.y, input.width,
               input.height);
    }
    fflush(stdout);
    pending = NULL;
    return G_SOURCE_REMOVE;
}

static gboolean reportShown(gpointer data) {
    (void)data;
    if (!gtk_window_is_active(GTK_WINDOW(window))) {
        gtk_window_present(GTK_WINDOW(window));
        return G_SOURCE_CONTINUE;
    }
    printf("shown\n");
    fflush(stdout);
    return G_SOURCE_REMOVE;
}

static gboolean reportReady(gpointer data) {
    (void)data;
    if (!gtk_window_is_active(GTK_WINDOW(window)) || !gtk_widget_has_focus(filled)) {
        gtk_window_present(GTK_WINDOW(window));
        gtk_widget_grab_focus(filled);
        placeCarets();
        return G_SOURCE_CONTINUE;
    }
    printf("ready %d\n", (int)getpid());
    fflush(stdout);
    return G_SOURCE_REMOVE;
}

static int floodLeft, floodTotal;

/* A batch of focus moves per main-loop turn, so the accessibility bridge
 * sends its events meanwhile. */
static gboolean floodFocus(gpointer data) {
    (void)data;
    if (!gtk_window_is_active(GTK_WINDOW(window))) {
        gtk_window_present(GTK_WINDOW(window));
        return G_SOURCE_CONTINUE;
    }
    for (int i = 0; i < 100 && floodLeft > 0; ++i, --floodLeft) {
        gtk_widget_grab_focus(floodLeft % 2 ? empty : filled);
    }
    if (floodLeft > 0) return G_SOURCE_CONTINUE;
    printf("flooded %d\n", floodTotal);
    fflush(stdout);
    return G_SOURCE_REMOVE;
}

static gboolean onCommand(GIOChannel *channel, GIOCondition condition, gpointer data) {
    (void)condition;
    (void)data;
    gchar *line = NULL;
    gsize length = 0;
    GIOStatus status = g_io_channel_read_line(channel, &line, &length, NULL, NULL);
    if (status == G_IO_STATUS_EOF || status == G_IO_STATUS_ERROR) {
        gtk_main_quit();
        return G_SOURCE_REMOVE;
    }
    if (!line) return G_SOURCE_CONTINUE;
    g_strstrip(line);
    if (g_str_has_prefix(line, "focus ")) {
        const char *name = line + 6;
        GtkWidget *widget = !strcmp(name, "filled")     ? filled
                            : !strcmp(name, "empty")    ? empty
                            : !strcmp(name, "password") ? password
                            : !strcmp(name, "text")     ? text
                            : !strcmp(name, "button")   ? button
                                                        : NULL;
        if (widget) {
            pending = widget;
            g_strlcpy(pendingName, name, sizeof pendingName);
            gtk_window_present(GTK_WINDOW(window));
            gtk_widget_grab_focus(widget);
            placeCarets();
            g_timeout_add(20, reportFocus, NULL);
        } else {
            printf("unknown %s\n", name);
            fflush(stdout);
        }
    } else if (g_str_has_prefix(line, "flood ")) {
        floodTotal = floodLeft = atoi(line + 6);
        gtk_window_present(GTK_WINDOW(window));
        g_idle_add(floodFocus, NULL);
    } else if (!strcmp(line, "hide")) {
        gtk_widget_hide(window);
        printf("hidden\n");
        fflush(stdout);
    } else if (!strcmp(line, "show")) {
        gtk_widget_show_all(window);
        gtk_window_present(GTK_WINDOW(window));
        g_timeout_add(20, reportShown, NULL);
    }
    g_free(line);
    return G_SOURCE_CONTINUE;
}

static GtkWidget *place(GtkWidget *fixed, GtkWidget *widget, int x, int y, int width, int height) {
    gtk_widget_set_size_request(widget, width, height);
    gtk_fixed_put(GTK_FIXED(fixed), widget, x, y);
    return widget;
}

int main(int argc, char **argv) {
    gtk_init(&argc, &argv);
    g_object_set(gtk_settings_get_default(), "gtk-entry-select-on-focus", FALSE, "gtk-cursor-blink", FALSE, NULL);

    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), argc > 1 ? argv[1] : "keychord e2e");
    gtk_window_set_default_size(GTK_WINDOW(window), 520, 400);
    gtk_window_move(GTK_WINDOW(window), 40, 30);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);

    GtkWidget *fixed = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(window), fixed);
    filled = place(fixed, gtk_entry_new(), 20, 20, 300, 34);
    gtk_entry_set_text(GTK_ENTRY(filled), "hello caret");
    empty = place(fixed, gtk_entry_new(), 20, 70, 300, 34);
    password = place(fixed, gtk_entry_new(), 20, 120, 300, 34);
    gtk_entry_set_visibility(GTK_ENTRY(password), FALSE);
    gtk_entry_set_text(GTK_ENTRY(password), "secret");
    text = place(fixed, gtk_text_view_new(), 20, 170, 400, 120);
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(text)), "first line\nsecond line\nthird line",
                             -1);
    button = place(fixed, gtk_button_new_with_label("Button"), 20, 310, 120, 36);

    gtk_widget_show_all(window);
    gtk_widget_grab_focus(filled);
    placeCarets();

    GIOChannel *input = g_io_channel_unix_new(0);
    g_io_add_watch(input, G_IO_IN | G_IO_HUP | G_IO_ERR, onCommand, NULL);
    g_timeout_add(20, reportReady, NULL);
    gtk_main();
    return 0;
}
